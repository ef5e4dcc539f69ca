"""The project's tooling: the cache, flavours, roots and the commands built on them."""
