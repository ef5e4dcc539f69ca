"""Many threads setting and reading the title at once, bounded in calls, never
in time: every title read back is one whole title some thread set, and the
listing agrees with the last one at the end."""

THREADS = 8
CALLS = 20_000

# Each thread owns a few framed titles, `<id:n:body:id>`, whose body mixes one-,
# two-, three- and four-byte characters; n is the body's length in characters,
# so a torn read breaks the frame. Lengths run up to 255 bytes, never more:
# the store would cut a longer one.
HAMMER = """
import random, threading, _setzentrave as z

PIECES = ["a", "Z", " ", "%", "é", "ß", "東", "☃", "🐍", "𝄞"]

def frame(worker, body):
    return f"<{worker}:{len(body):03d}:{body}:{worker}>"

def framed(worker, n, rng):
    body = "".join(rng.choice(PIECES) for _ in range(n))
    while len(frame(worker, body).encode()) > 255:
        body = body[:-1]
    return frame(worker, body)

def framed_255(worker, rng):
    body = framed(worker, 255, rng).split(":", 2)[2].rpartition(":")[0]
    while len(frame(worker, body).encode()) < 255:
        body += "a"
    return frame(worker, body)

def frame_ok(title):
    if not (title.startswith("<") and title.endswith(">")):
        return False
    try:
        worker, n, rest = title[1:].split(":", 2)
        body, _, end = rest[:-1].rpartition(":")
        return end == worker and len(body) == int(n)
    except ValueError:
        return False

def titles_of(worker):
    rng = random.Random(worker)
    sizes = [0, 1, 2, 7, 30, 60, 61, 62, 63, 64, 100, 200, 250]
    own = [framed(worker, n, rng) for n in sizes]
    own.append(framed_255(worker, rng))
    return own

owned = {w: titles_of(w) for w in range(THREADS)}
all_titles = {t for own in owned.values() for t in own}
assert sum(not t.isascii() for t in all_titles) > len(all_titles) // 2
assert all(any(len(t.encode()) == 255 for t in own) for own in owned.values())
assert all(frame_ok(t) for t in all_titles)

start = threading.Barrier(THREADS)
bad_reads = []       # titles read back that no thread set
bad_names = []       # thread names read back unlike the one just given
reads = [0] * THREADS
finished = [False] * THREADS  # a thread that raised never gets there

def hammer(worker):
    rng = random.Random(1000 + worker)
    own = owned[worker]
    start.wait()
    for i in range(CALLS):
        if i % 500 == 0:
            name = f"w{worker}-{i // 500}"
            z.setthreadtitle(name)
            if z.getthreadtitle() != name[:15]:
                bad_names.append((name, z.getthreadtitle()))
        elif rng.random() < 0.5:
            z.setzentrave(rng.choice(own))
        else:
            try:
                title = z.getzentrave()
            except UnicodeDecodeError as error:  # bytes of two titles mixed
                bad_reads.append(repr(error))
                continue
            reads[worker] += 1
            if title not in all_titles or not frame_ok(title):
                bad_reads.append(title)
    finished[worker] = True

z.setzentrave(owned[0][0])  # past the first title, the command line
threads = [threading.Thread(target=hammer, args=(w,)) for w in range(THREADS)]
for t in threads: t.start()
for t in threads: t.join()
last = z.getzentrave()
"""


def hammer(c):
    c.exec(f"THREADS, CALLS = {THREADS}, {CALLS}")
    c.exec(HAMMER)


def test_every_title_read_back_is_one_whole_title_and_the_listing_agrees(child_factory):
    c = child_factory()
    hammer(c)
    assert c.eval("bad_reads[:5]") == []
    assert c.eval("bad_names[:5]") == []
    assert c.eval("finished") == [True] * THREADS
    assert c.eval("sum(reads)") > THREADS * CALLS // 3  # the threads did read
    last = c.eval("last")
    assert c.eval("last in all_titles") is True
    assert c.cmdline() == last.encode() + b"\0"


def test_the_frame_check_sees_a_torn_title(child_factory):
    c = child_factory()
    c.exec("THREADS, CALLS = 2, 0")
    c.exec(HAMMER)
    a, b = c.eval("owned[0][-1]"), c.eval("owned[1][-1]")
    assert c.eval(f"frame_ok({a!r}) and frame_ok({b!r})") is True
    torn = a[:100] + b[100:]
    assert c.eval(f"frame_ok({torn!r}) or {torn!r} in all_titles") is False
    assert c.eval("frame_ok('<0:003:ab')") is False
