"""Every command and snippet of the README, CONTRIBUTING.md and docs/ runs as written, and
every link between them leads somewhere.

A page's fenced blocks run in order, in a scratch directory of links to the checkout's
entries (what they write stays there) whose .venv is the environment running this suite:
`sh` blocks, and the `$ ` lines of `console` blocks, with bash -e; `python` blocks each in
a fresh interpreter, which must print no traceback (nor the errors Python reports at exit,
which leave the status 0). The example ring names (camera0, ...) and port 7447 are made
unique to the run, so that runs side by side, or a user's own camera0, never meet. A block
that cannot run here says why right before it: `<!-- not run: REASON -->`, or
`<!-- dry run: REASON -->` for make commands, which run as `make -n`.
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from markdown_it import MarkdownIt

from conftest import SHM, free_port, needs_native_examples

ROOT = Path(__file__).resolve().parent.parent
PAGES = ["README.md", "CONTRIBUTING.md",
         *(f"docs/{page.name}" for page in sorted((ROOT / "docs").glob("*.md")))]
RUN = {"sh", "console", "python"}
SHOWN = {"cmake", "cpp", "c", "text"}  # code to read, not to run
MARKER = re.compile(r"<!--\s*(not run|dry run)\b:?(.*?)-->", re.S)


def page_tokens(page):
    return MarkdownIt().parse((ROOT / page).read_text(encoding="utf-8"))


def blocks(page):
    """(where, language, text, marker) for each fenced block of `page`, the marker being the
    (kind, reason) of a marking comment right before the block, or None."""
    found, marker = [], None
    for token in page_tokens(page):
        if token.type == "fence":
            language = token.info.split()[0] if token.info else ""
            found.append((f"{page}:{token.map[0] + 1}", language, token.content, marker))
            marker = None
            continue
        assert marker is None, f"{page}: a '{marker[0]}' comment before something not a block"
        match = MARKER.fullmatch(token.content.strip()) if token.type == "html_block" else None
        if match:
            marker = (match[1], match[2].strip())
    return found


def slug(heading):
    """The anchor a heading gets, as GitHub makes it."""
    return re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")


def anchors(page):
    tokens = page_tokens(page)
    return {slug("".join(child.content for child in tokens[i + 1].children))
            for i, token in enumerate(tokens) if token.type == "heading_open"}


def scratch_checkout(path):
    """`path` made to look like the checkout, its .venv the environment running the suite."""
    for entry in os.listdir(ROOT):
        if entry != ".venv":
            (path / entry).symlink_to(ROOT / entry)
    (path / ".venv").symlink_to(sys.prefix)


def run(command, cwd, timeout):
    """Runs `command` in a session of its own and ends whatever it leaves running once it
    is done: (status, stdout, stderr). Output goes to files, which a process left behind
    cannot hold open the way it would a pipe."""
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MAKELEVEL", "MFLAGS")}
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env["PATH"]
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        process = subprocess.Popen(command, cwd=cwd, env=env, stdout=out, stderr=err, text=True,
                                   start_new_session=True)
        try:
            status = process.wait(timeout)
        except subprocess.TimeoutExpired:
            status = f"none: still running after {timeout} s"
        finally:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait()
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()




@pytest.mark.linux_only  # bash, make and /dev/shm
@pytest.mark.skipif(sys.version_info < (3, 13), reason="the pages are written for Python 3.13 "
                    "and later (SharedMemory's track=False); make test runs them on 3.13")
@pytest.mark.parametrize("page", [
    pytest.param(page, marks=needs_native_examples)
    if page in ("docs/native.md", "docs/interop.md") else page
    for page in PAGES])
def test_every_block_runs_as_written(page, name, tmp_path):
    scratch_checkout(tmp_path)
    port = str(free_port())
    for where, language, text, marker in blocks(page):
        assert language in RUN | SHOWN, f"{where}: a block in '{language}', which is neither " \
                                        "run nor known as code to read"
        if marker:
            kind, reason = marker
            assert reason, f"{where}: '{kind}' without a reason"
            if kind == "not run":
                continue
            assert re.fullmatch(r"(make [^\n]*\n)+", text), f"{where}: a dry run of more than make"
            text = re.sub(r"^make ", "make -n ", text, flags=re.M)
        elif language not in RUN:
            continue
        text = text.replace("camera0", name).replace(":7447", ":" + port)
        if language == "python":
            status, out, err = run([sys.executable, "-c", text], tmp_path, timeout=60)
            assert "Traceback" not in err and "Exception ignored" not in err, f"{where}:\n{err}"
        else:
            if language == "console":
                text = "".join(line[2:] + "\n" for line in text.splitlines()
                               if line.startswith("$ "))
            status, out, err = run(["bash", "-e", "-c", text], tmp_path, timeout=120)
            assert "Traceback" not in out + err, f"{where}:\n{out}{err}"
        assert status == 0, f"{where} ended with status {status}:\n{out}{err}"
    left = [entry for entry in os.listdir(SHM) if entry.startswith(name)]
    assert not left, f"{page} left rings behind: {left}"


def test_links_between_pages_lead_to_a_file_and_a_heading():
    for page in PAGES:
        for token in page_tokens(page):
            for child in token.children or ():
                target = child.attrs.get("href") or child.attrs.get("src")
                if not target or re.match(r"[a-z]+:", target):
                    continue  # not a link, or one to the web
                path, _, anchor = str(target).partition("#")
                file = (ROOT / page).parent / path if path else ROOT / page
                assert file.exists(), f"{page}: {target} leads nowhere"
                if anchor:
                    relative = str(file.resolve().relative_to(ROOT))
                    assert anchor in anchors(relative), f"{page}: no heading for {target}"
