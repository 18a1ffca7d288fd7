"""The progress bar as a terminal shows it.

Each call runs in a child process whose standard error is a pseudo-terminal; what the
child writes there is replayed through a small line model of a terminal (carriage
return, erase line, newline) to see what stays on screen.
"""

import fcntl
import os
import pty
import re
import select
import struct
import subprocess
import sys
import termios
import time

import numpy as np

SPINNER_FRAMES = set("⠁⠁⠉⠙⠚⠒⠂⠂⠒⠲⠴⠤⠄⠄⠤⠠⠠⠤⠦⠖⠒⠐⠐⠒⠓⠋⠉⠈⠈")
FRAME = re.compile(r"(.) \[\d\d:\d\d:\d\d\] \[([█░]{40})\] (\d+)/(\d+) \(([^)]*)\)")
ESCAPE = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")

# The worked example of the junction merge: two records, ten output rows. With "fail",
# fifty copies of record 0 come first, then a record whose neighbour has no row record,
# so the bar has been drawn when the call fails (one thread: records in index order).
CHILD = """
import sys
import numpy as np
from quillmoor._native import merge_points_removing_overlap

nan = float("nan")
def record(*values):
    return list(values) + [nan] * (11 - len(values))

row_information = np.array([record(1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5),
                            record(2, 0, 0, 0, 1, 12, 12, 20, 20, 16, 16)], dtype=float)
points = np.array([[1, 1, w, w, 100 + w] for w in (0, 3, 6, 9, 10, 10.3, 10.8, 11.4)]
                  + [[2, 1, w, w, 200 + w] for w in (9.6, 11, 12, 15, 20)], dtype=float)
if sys.argv[1] == "fail":
    connected = np.array([record(0, 1, 1, 2, 1)] * 50 + [record(50, 2, 1, 7, 1)], dtype=float)
else:
    connected = np.array([record(0, 1, 1, 2, 1), record(1, 2, 1, 1, 1)], dtype=float)
try:
    result = merge_points_removing_overlap(connected, points, row_information, 0.5, 1)
    print("rows", result.shape[0])
except BaseException as error:
    if type(error).__name__ != "PanicException":
        raise
    print("failed", type(error).__name__)
"""


# A field large enough that the passes over the points take nearly all of the call.
LARGE_CHILD = """
import sys
from quillmoor._native import merge_points_removing_overlap
from quillmoor.synthetic import make_field

field = make_field(2_000_000, seed=5)
result = merge_points_removing_overlap(field.connected_crop_rows, field.points_in_rows,
                                       field.row_information, 0.05, int(sys.argv[1]))
print("records", field.connected_crop_rows.shape[0], "rows", result.shape[0])
"""


def child_environment(changes):
    env = dict(os.environ, TERM="xterm-256color")
    for name in ("NO_COLOR", "CLICOLOR", "CLICOLOR_FORCE"):
        env.pop(name, None)
    for name, value in changes.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return env


def run_on_terminal(mode, columns=120, child=CHILD, deadline_seconds=60, **env_changes):
    """Runs `child` with its standard error on a pseudo-terminal of `columns`.

    Returns the child's standard output and everything it wrote to the terminal.
    """
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    process = subprocess.Popen(
        [sys.executable, "-c", child, mode],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=terminal,
        env=child_environment(env_changes),
    )
    os.close(terminal)
    written = b""
    deadline = time.monotonic() + deadline_seconds
    try:
        while select.select([controller], [], [], max(0.0, deadline - time.monotonic()))[0]:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # EIO: the child has closed its end
                break
            if not chunk:
                break
            written += chunk
        stdout, _ = process.communicate(timeout=deadline_seconds)
    finally:
        process.kill()
        os.close(controller)
    return stdout.decode(), written.decode()


def screen_lines(written):
    """The lines left on screen by `written` (colours dropped)."""
    lines, column = [""], 0
    for token in re.findall(r"\x1b\[[0-9;]*[A-Za-z]|\r|\n|.", written):
        if token == "\x1b[2K":
            lines[-1] = ""
        elif token.startswith("\x1b"):
            continue
        elif token == "\r":
            column = 0
        elif token == "\n":
            lines.append("")
            column = 0
        else:
            line = lines[-1].ljust(column)
            lines[-1] = line[:column] + token + line[column + 1:]
            column += 1
    return [line for line in lines if line]


def drawn_frames(written):
    return FRAME.findall(ESCAPE.sub("", written))


def test_successful_call_leaves_the_finished_bar_on_screen():
    stdout, written = run_on_terminal("ok")
    assert stdout == "rows 10\n"
    frames = drawn_frames(written)
    assert frames, written
    for spinner, _, _, length, _ in frames[:-1]:
        assert spinner in SPINNER_FRAMES and length == "2"
    assert frames[-1] == (" ", "█" * 40, "2", "2", "0s")
    screen = screen_lines(written)
    assert len(screen) == 1 and FRAME.fullmatch(screen[0]), screen
    # Green spinner, cyan filled cells.
    assert "\x1b[32m" in written and "\x1b[36m█" in written
    assert written.endswith("\r\n")  # later output starts on a line of its own


def test_bar_moves_with_the_work_and_shows_n_of_n_only_at_the_end():
    # Whatever the machine's speed, the bar is drawn at its first rise and once when the
    # first pass over the points ends (a third of the work), then finished.
    for threads in ("1", "2"):
        stdout, written = run_on_terminal(threads, child=LARGE_CHILD, deadline_seconds=600)
        _, records, _, rows = stdout.split()
        n = int(records)
        assert int(rows) > 0
        frames = drawn_frames(written)
        assert len(frames) >= 2, written
        positions = [int(pos) for _, _, pos, _, _ in frames]
        assert all(length == records for _, _, _, length, _ in frames)
        assert positions == sorted(positions)
        # Only the finished bar, drawn once the result is complete, shows n/n.
        assert positions[-1] == n and frames[-1][0] == " "
        assert all(pos < n for pos in positions[:-1]), positions
        assert any(0.1 * n < pos < 0.9 * n for pos in positions), positions


def test_failing_call_erases_the_bar():
    stdout, written = run_on_terminal("fail")
    assert stdout == "failed PanicException\n"
    assert drawn_frames(written), "the bar was never drawn, so its erasure shows nothing"
    screen = screen_lines(written)
    assert screen, "the failure report is missing"
    assert not any("█" in line or "░" in line for line in screen), screen


def test_bar_is_cut_to_a_narrow_terminal():
    _, written = run_on_terminal("ok", columns=30)
    screen = screen_lines(written)
    assert len(screen) == 1 and re.fullmatch(r"  \[\d\d:\d\d:\d\d\] \[█{16}", screen[0]), screen
    assert written.endswith("\x1b[0m\r\n")  # the cut frame does not leave a colour on


def test_nothing_is_drawn_where_the_environment_forbids_it():
    for changes in ({"NO_COLOR": ""}, {"NO_COLOR": "1"}, {"TERM": "dumb"}, {"TERM": None}):
        stdout, written = run_on_terminal("ok", **changes)
        assert (stdout, written) == ("rows 10\n", ""), changes


def test_nothing_is_written_when_standard_error_is_a_file(capfd, monkeypatch):
    from quillmoor._native import merge_points_removing_overlap

    monkeypatch.setenv("TERM", "xterm-256color")
    monkeypatch.delenv("NO_COLOR", raising=False)
    nan = np.nan
    connected = np.array([[0, 1, 1, nan, nan, nan, nan, nan, nan, nan, nan]] * 3)
    points = np.array([[1, 1, 0.0, 0.0, 7.0], [1, 1, 1.0, 1.0, 8.0]])
    row_information = np.array([[1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5]], dtype=float)
    result = merge_points_removing_overlap(connected, points, row_information, 0.5, 2)
    assert result.shape == (6, 5)
    assert capfd.readouterr().err == ""
