"""Allow customization of the process title."""

def setzentrave(title: str) -> None:
    """setzentrave(title) -- Change the process title."""

def getzentrave() -> str:
    """getzentrave() -- Get the current process title."""

def setthreadtitle(title: str) -> None:
    """setthreadtitle(title) -- Change the thread title."""

def getthreadtitle() -> str:
    """getthreadtitle() -- Return the thread title."""
