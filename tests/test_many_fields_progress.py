"""One bar over fields where the fields are handed out; no per-call bar from the merges."""

import io
import os
import pty
import re
import select
import subprocess
import sys
import textwrap
import time

import pytest

from quillmoor.fields.progress import FieldProgress, bar_is_visible

# The engine's bar ends in "{pos}/{len} ({eta})"; the bar over fields says "fields".
ENGINE_BAR = re.compile(r"\] \d+/\d+ \(")
FIELDS_BAR = re.compile(r"\] (\d+)/(\d+) fields")


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


class TestFieldProgress:
    def test_draws_on_a_terminal_and_ends_its_line(self, monkeypatch):
        monkeypatch.setenv("TERM", "xterm")
        monkeypatch.delenv("NO_COLOR", raising=False)
        stream = FakeTerminal()
        bar = FieldProgress(3, stream)
        bar.advance(2, failed=1)
        bar.advance(1)
        bar.finish()
        text = stream.getvalue()
        assert text.endswith("3/3 fields, 1 failed (0s)\n")
        assert FIELDS_BAR.findall(text)[0] == ("0", "3")
        assert "█" * 40 in text

    @pytest.mark.parametrize("term, no_color", [("dumb", None), (None, None), ("xterm", "1")])
    def test_hidden_where_the_environment_says_so(self, monkeypatch, term, no_color):
        for name, value in (("TERM", term), ("NO_COLOR", no_color)):
            if value is None:
                monkeypatch.delenv(name, raising=False)
            else:
                monkeypatch.setenv(name, value)
        stream = FakeTerminal()
        assert not bar_is_visible(stream)
        bar = FieldProgress(2, stream)
        bar.advance(2)
        bar.finish()
        assert stream.getvalue() == "" and bar.done == 2

    def test_hidden_off_a_terminal(self):
        stream = io.StringIO()
        bar = FieldProgress(1, stream)
        bar.advance()
        bar.finish()
        assert stream.getvalue() == ""


CHILD = textwrap.dedent(
    """
    import os
    import sys
    import quillmoor.dask
    from quillmoor.synthetic import make_field

    if __name__ == "__main__":
        fields = [make_field(3000, seed=s) for s in range(3)]
        if sys.argv[1] == "cluster":
            from distributed import Client
            with quillmoor.dask.loopback_cluster(1) as cluster, Client(cluster) as client:
                results = quillmoor.dask.merge_fields(fields, client=client, batch_points=1)
        else:
            results = quillmoor.dask.merge_fields(fields)
        print(sum(len(r) for r in results), "NO_COLOR" in os.environ)
    """
)


def run_on_terminal(mode):
    """The child's standard output and all it wrote to the terminal on its stderr."""
    controller, terminal = pty.openpty()
    env = dict(os.environ, TERM="xterm-256color")
    env.pop("NO_COLOR", None)
    child = subprocess.Popen([sys.executable, "-c", CHILD, mode], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=terminal, env=env)
    os.close(terminal)
    written = b""
    deadline = time.monotonic() + 180
    try:
        while select.select([controller], [], [], max(0.0, deadline - time.monotonic()))[0]:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # EIO: every holder of the terminal has closed it
                break
            if not chunk:
                break
            written += chunk
        stdout, _ = child.communicate(timeout=180)
    finally:
        child.kill()
        os.close(controller)
    assert child.returncode == 0, written.decode(errors="replace")
    return stdout.decode(), written.decode(errors="replace")


@pytest.mark.parametrize("mode", ["here", "cluster"])
def test_one_bar_over_fields_and_none_per_call(mode):
    if mode == "cluster":
        pytest.importorskip("distributed")
    stdout, written = run_on_terminal(mode)
    kept, no_color_left = stdout.split()
    assert int(kept) > 0
    # Merging here hides the per-call bars for the while only.
    assert no_color_left == "False"
    counts = FIELDS_BAR.findall(written)
    assert counts and counts[-1] == ("3", "3")
    assert not ENGINE_BAR.search(written), written
