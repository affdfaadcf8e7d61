"""A run of the exe on a terminal: tmux gives Wine a pty, so the tool's
handles are a real console, the way a person runs it.

Usage:
    screens = run_console_case(case, exe)   # raises ConsoleCheckFailed on a fault
    print(screens.after_answer)
"""

import os
import shlex
import shutil
import subprocess
import time

# The last line of the question; tmux drops the trailing space.
QUESTION = "and related files?"
SERVICE_LINE = "Removing QZ Service... "
CLOSING = "Press ENTER to exit."

# How long the screen must stay unchanged, with the process alive, to count
# as waiting for input. A warm run takes well under this from start to end.
SETTLE_SECONDS = 0.5


class ConsoleCheckFailed(AssertionError):
    pass


class ConsoleScreens:
    def __init__(self):
        self.at_question = ""     # screen once the question was shown
        self.cursor_at_question = None  # (column, row) while waiting for the answer
        self.after_answer = ""    # screen once the closing text was shown
        self.at_exit = ""         # screen after the process ended
        self.status = None        # exit status


class _Tmux:
    def __init__(self, socket, env):
        self.socket = socket
        self.env = env

    def __call__(self, *args, check=True):
        return subprocess.run(["tmux", "-S", self.socket] + list(args), env=self.env, check=check,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=20)

    def screen(self):
        # -J joins lines the terminal wrapped, so a completed line stays one
        # line; it also keeps trailing spaces, which are dropped here.
        text = self("capture-pane", "-p", "-J", "-t", "e2e").stdout.decode(errors="replace")
        return "\n".join(line.rstrip() for line in text.splitlines()).rstrip("\n") + "\n"

    def cursor(self):
        x, y = self("display-message", "-p", "-t", "e2e", "#{cursor_x} #{cursor_y}").stdout.split()
        return int(x), int(y)


def _wait_for(tmux, text, status_path, timeout):
    deadline = time.monotonic() + timeout
    while True:
        screen = tmux.screen()
        if text in screen:
            return screen
        if os.path.exists(status_path) or time.monotonic() > deadline:
            raise ConsoleCheckFailed("never showed %r (exited: %s); screen:\n%s"
                                     % (text, os.path.exists(status_path), screen))
        time.sleep(0.05)


def _check_waiting(tmux, status_path, what):
    """The process is alive and the screen does not change: it waits for input."""
    first = tmux.screen()
    time.sleep(SETTLE_SECONDS)
    second = tmux.screen()
    if os.path.exists(status_path):
        raise ConsoleCheckFailed("exited instead of waiting %s; screen:\n%s" % (what, second))
    if first != second:
        raise ConsoleCheckFailed("screen still changing while waiting %s:\n%s\n---\n%s" % (what, first, second))
    return second


def run_console_case(case, exe, question=QUESTION, timeout=20, width=120, height=50):
    """Start exe in a detached tmux session of `case`'s prefix, answer y, end it.

    Checks, raising ConsoleCheckFailed: the question is on the screen while the
    tool waits (and only then are keys sent); after "y" Enter the service line
    is completed on the same line by its outcome; the closing text is on the
    screen while the tool waits; Enter then ends it with status 0."""
    base = os.path.join(case.machine.workdir, os.path.basename(case.prefix))
    socket = base + ".tmux"
    status_path = base + ".console-status"
    for p in (socket, status_path):
        if os.path.exists(p):
            os.unlink(p)
    loader = shutil.which(case.exe_loader, path=case.env["PATH"])
    names = ("WINEPREFIX", "WINEARCH", "WINEDEBUG", "WINEDLLOVERRIDES", "PATH")
    # The pane stays open after the run, so its last screen can be read.
    # The status file appears whole (mv), so it is never read half written.
    command = "env %s %s %s; echo $? > %s.tmp; mv %s.tmp %s; exec sleep 600" % (
        " ".join("%s=%s" % (n, shlex.quote(case.env[n])) for n in names),
        shlex.quote(loader), shlex.quote(exe),
        shlex.quote(status_path), shlex.quote(status_path), shlex.quote(status_path))
    tmux = _Tmux(socket, case.env)
    screens = ConsoleScreens()
    tmux("new-session", "-d", "-s", "e2e", "-x", str(width), "-y", str(height), command)
    try:
        _wait_for(tmux, question, status_path, timeout)
        screens.at_question = _check_waiting(tmux, status_path, "for the answer")
        screens.cursor_at_question = tmux.cursor()
        if "Removing" in screens.at_question:
            raise ConsoleCheckFailed("went on before the answer:\n" + screens.at_question)

        tmux("send-keys", "-t", "e2e", "y", "Enter")
        _wait_for(tmux, CLOSING, status_path, timeout)
        screens.after_answer = _check_waiting(tmux, status_path, "at the closing text")
        lines = [l for l in screens.after_answer.splitlines() if l.startswith(SERVICE_LINE)]
        if len(lines) != 1 or not lines[0][len(SERVICE_LINE):].strip():
            raise ConsoleCheckFailed("service line not completed by its outcome on the same line:\n" + screens.after_answer)

        tmux("send-keys", "-t", "e2e", "Enter")
        deadline = time.monotonic() + timeout
        while not os.path.exists(status_path):
            if time.monotonic() > deadline:
                raise ConsoleCheckFailed("did not end after Enter:\n" + tmux.screen())
            time.sleep(0.05)
        with open(status_path) as f:
            screens.status = int(f.read().strip())
        screens.at_exit = tmux.screen()
        if screens.status != 0:
            raise ConsoleCheckFailed("exit status %d:\n%s" % (screens.status, screens.at_exit))
        return screens
    finally:
        tmux("kill-server", check=False)
        for p in (socket, status_path):
            if os.path.exists(p):
                os.unlink(p)
