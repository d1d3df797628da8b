"""Running code in a child process, so that a crash or a hang fails one test only."""

import os
import subprocess
import sys
import textwrap


def run_python(code, *, timeout=120, prefix=(), **options):
    """Runs `code` (dedented) in a new interpreter; a hang past `timeout` fails the test.

    `prefix` is put before the interpreter (a wrapper such as `unshare`); `options` go to
    subprocess.run (stdout, env, preexec_fn, ...). Output is text.
    """
    options.setdefault("stdout", subprocess.PIPE)
    options.setdefault("stderr", subprocess.PIPE)
    return subprocess.run(
        [*prefix, sys.executable, "-c", textwrap.dedent(code)],
        text=True, timeout=timeout, **options,
    )


def start_python(code, **options):
    """Starts `code` (dedented) in a new interpreter with text pipes for stdin, stdout, stderr."""
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)], stdin=subprocess.PIPE,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **options,
    )


def run_forked(body):
    """Runs `body()` in a forked copy of this process; returns its exit status and output.

    The child exits with 0 when `body` returns and 1 with the traceback on stdout when it
    raises, so a test can run a part as another user (`os.setuid`) without touching its own.
    """
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child
        status = 1
        try:
            os.close(read_end)
            os.dup2(write_end, 1)
            body()
            status = 0
        except BaseException:
            import traceback
            traceback.print_exc(file=sys.stdout)
        finally:
            sys.stdout.flush()
            os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end) as output:
        text = output.read()
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), text


UNPRIVILEGED_ID = 65534  # nobody


def as_unprivileged(action):
    """A body for run_forked: `action()` as an unprivileged user (nobody when run as root, who
    ignores permissions; the current user otherwise)."""
    def body():
        if os.geteuid() == 0:
            os.setgroups([])
            os.setgid(UNPRIVILEGED_ID)
            os.setuid(UNPRIVILEGED_ID)
        action()
    return body
