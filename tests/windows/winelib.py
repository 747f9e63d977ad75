"""Running drvsetup.exe under Wine: prefixes, runs with their 32-bit exit codes, registry exports,
and the message boxes on an Xvfb display.

Every case works in a prefix of its own, a copy of one prepared template: the large binaries of
the template are hard-linked (Wine replaces, never rewrites, them), every other file is copied,
so a case can change its registry and files without touching the template or another case.
"""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

CAPTION = "Disc burning driver setup"
MB_ICONERROR = 0x10
MB_ICONINFORMATION = 0x40

MESSAGES = {
    0: "Disc burning driver information successfully updated.",
    1: "Disc burning driver information is already up-to-date.",
    -1: "Error: the disc burning driver setup file is corrupted.",
    -2: "Error: the disc burning driver setup data is not valid.",
    -3: "Error installing disc burning driver data.",
}

# Files of a prefix that Wine only reads after wineboot: shared between copies as hard links.
SHARED_SUFFIXES = {
    ".dll", ".exe", ".sys", ".drv", ".nls", ".ocx", ".cpl", ".acm", ".tlb", ".ds", ".ax",
    ".com", ".msstyles", ".icm", ".ttf", ".fon",
}

READY_MARK = "drvsetup-template-ready"


def wine_environment(prefix, display=None, debug="-all"):
    env = dict(os.environ)
    env["WINEPREFIX"] = prefix
    env["WINEDEBUG"] = debug
    # No Mono or Gecko installers, no menu entries in the user's desktop.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winemenubuilder.exe=d"
    # A fixed locale: the ANSI code page is Windows-1252 whatever the caller's locale.
    env["LC_ALL"] = "C.UTF-8"
    env.pop("WINEARCH", None)
    if display is None:
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
    else:
        env["DISPLAY"] = display
    return env


def wine_version():
    return subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()


def prepare_template(path):
    """Makes the template prefix once (wineboot takes a while) and marks it ready; a template of
    the same Wine version that is already marked is kept."""
    mark = os.path.join(path, READY_MARK)
    version = wine_version()
    if os.path.exists(mark) and open(mark).read().strip() == version:
        return False
    if os.path.exists(path):
        subprocess.run(["wineserver", "-k"], env=wine_environment(path), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(path)
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    env = wine_environment(path)
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineboot", "--init"], env=env, check=True, timeout=300, **quiet)
    settings = [
        # The box's own caption bar: drawn by Wine, since Xvfb has no window manager.
        (r"HKCU\Software\Wine\X11 Driver", "Decorated", "N"),
        # With WINEDEBUG=+relay, only the message box calls are traced.
        (r"HKCU\Software\Wine\Debug", "RelayInclude", "user32.MessageBoxA"),
    ]
    for key, name, data in settings:
        subprocess.run(["wine", "reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", data, "/f"],
                       env=env, check=True, timeout=120, **quiet)
    subprocess.run(["wineserver", "-w"], env=env, timeout=120, **quiet)
    with open(mark, "w") as f:
        f.write(version + "\n")
    return True


def copy_prefix(template, target):
    if os.path.exists(target):
        shutil.rmtree(target)
    for root, dirs, files in os.walk(template):
        rel = os.path.relpath(root, template)
        out = os.path.normpath(os.path.join(target, rel))
        os.makedirs(out, exist_ok=True)
        for name in dirs:
            src = os.path.join(root, name)
            if os.path.islink(src):
                os.symlink(os.readlink(src), os.path.join(out, name))
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(root, d))]
        for name in files:
            src = os.path.join(root, name)
            dst = os.path.join(out, name)
            if rel == "." and name in ("wineserver", READY_MARK):
                continue
            if os.path.islink(src):
                os.symlink(os.readlink(src), dst)
            elif os.path.splitext(name)[1].lower() in SHARED_SUFFIXES:
                os.link(src, dst)
            else:
                shutil.copy2(src, dst)


def windows_path(linux_path):
    return "z:" + os.path.abspath(linux_path).replace("/", "\\")


class Prefix:
    """A fresh copy of the template; files for the case go to C:\\drvtest inside it."""

    def __init__(self, template, path):
        self.path = path
        copy_prefix(template, path)
        self.work = os.path.join(path, "drive_c", "drvtest")
        os.makedirs(self.work, exist_ok=True)
        self.holder = None
        self.server("-p")

    def server(self, option):
        """wineserver -p: one server for the case's life, so that Wine's start-up is paid once;
        -k: ends it, with every process of the prefix."""
        subprocess.run(["wineserver", option], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def env(self, display=None, debug="-all"):
        return wine_environment(self.path, display, debug)

    def put(self, source, name):
        """Copies a file into C:\\drvtest and gives its Windows path."""
        shutil.copyfile(source, os.path.join(self.work, name))
        return "C:\\drvtest\\" + name

    def write(self, name, data):
        with open(os.path.join(self.work, name), "wb") as f:
            f.write(data)
        return "C:\\drvtest\\" + name

    def read(self, name):
        path = os.path.join(self.work, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def wine(self, args, timeout=120, display=None, debug="-all"):
        """Runs wine with its output in files, not pipes: the Wine services that a run starts
        inherit its standard handles and keep a pipe open after the run has ended."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            done = subprocess.run(["wine"] + args, env=self.env(display, debug), stdout=out,
                                  stderr=err, stdin=subprocess.DEVNULL, timeout=timeout)
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(done.args, done.returncode, out.read(), err.read())

    def cmd(self, line, timeout=120, display=None, debug="-all"):
        """Runs one cmd line with delayed expansion, so !errorlevel! is read after each command
        (the same on Windows and on Wine)."""
        return self.wine(["cmd", "/v:on", "/c", line], timeout, display, debug)

    def run(self, exe, args="", timeout=120):
        """Runs a setup file with no display and gives its exit code as cmd reads it: the signed
        32-bit value (so -1 stands for 4294967295)."""
        done = self.cmd("%s %s & echo EXIT=!errorlevel!" % (exe, args), timeout)
        return exit_code(done.stdout)

    def export(self, key, name="export.reg"):
        """The key's subtree as `reg export` writes it (bytes, UTF-16 with CR LF), or None when
        the key does not exist."""
        target = os.path.join(self.work, name)
        if os.path.exists(target):
            os.remove(target)
        done = self.wine(["reg", "export", key, "C:\\drvtest\\" + name, "/y"])
        if done.returncode != 0:
            return None
        return self.read(name)

    def hold_desktop(self, display, exe, tries=3):
        """Has Wine's desktop running on the display for the rest of the prefix's life.

        Wine starts the desktop (explorer.exe) for the first window a process opens and closes it
        about a second after the last process that used it has ended. A run that opens its box
        while the desktop starts or closes may get no box at all (MessageBoxA returns at once), so
        the rows of a case would depend on how fast the one before them ended. A console process
        that waits on its input holds the desktop; a first version box (exe -v, which writes
        nothing) starts it.

        Now and then the desktop comes up without its display driver (Wine then says that no
        driver could be loaded, and every box fails while the desktop lasts). Such a try ends
        every process of the prefix, the desktop with them, and the next try starts anew."""
        failures = []
        # What the holder and the Wine processes it starts (the desktop among them) print.
        holder_log = os.path.join(self.path, "holder.log")
        for attempt in range(1, tries + 1):
            with open(holder_log, "wb") as log:
                self.holder = subprocess.Popen(
                    ["wine", "cmd", "/c", "set /p wait="], env=self.env(display.name, "err+all"),
                    stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=log)
            r = run_on_display(self, display, exe, "-v")
            if r.exit == 0 and len(r.windows) == 1 and r.dismissed == 1 and not r.other_windows:
                return attempt
            with open(holder_log, "rb") as log:
                held = log.read().decode("utf-8", "replace").splitlines()
            failures.append("try %d: %d windows, other windows %r, exit %s, display %s; %s; "
                            "the holder's messages: %s"
                            % (attempt, len(r.windows), r.other_windows, r.exit,
                               display.xdotool("getdisplaygeometry") or "unreachable",
                               r.explain(), held or "none"))
            self.end_holder()
            self.server("-k")
            self.server("-p")
        raise AssertionError("no version box on the display:\n" + "\n".join(failures))

    def end_holder(self):
        if self.holder is None:
            return
        self.holder.stdin.close()
        try:
            self.holder.wait(10)
        except subprocess.TimeoutExpired:
            self.holder.kill()
            self.holder.wait()
        self.holder = None

    def close(self, keep=False):
        self.end_holder()
        self.server("-k")
        if not keep:
            shutil.rmtree(self.path, ignore_errors=True)


def exit_code(output):
    text = output.decode("utf-8", "replace") if isinstance(output, bytes) else output
    found = re.findall(r"EXIT=(-?\d+)", text)
    if not found:
        raise AssertionError("no exit code in cmd's output: %r" % text)
    return int(found[-1])


def exit_codes(output):
    text = output.decode("utf-8", "replace") if isinstance(output, bytes) else output
    return [int(x) for x in re.findall(r"EXIT=(-?\d+)", text)]


def reg_text(data):
    """A `reg export` file as text: BOM dropped, UTF-16 decoded, CR LF kept."""
    if data is None:
        return None
    if data[:2] == b"\xff\xfe":
        data = data[2:]
    return data.decode("utf-16-le")


def script_bytes(text):
    """A registration script as the setup data holds it: UTF-16LE with BOM. The text is given
    with the line ends it should have."""
    return b"\xff\xfe" + text.encode("utf-16-le")


def pack(drvpack, image, script_path, out):
    subprocess.run([drvpack, "pack", "--force", image, script_path, out], check=True,
                   capture_output=True)


# ---------------------------------------------------------------------------------------------
# Message boxes on an Xvfb display.

class Display:
    """An Xvfb server of its own (the display number is chosen by Xvfb)."""

    def __init__(self, size="800x600x24"):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", size, "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.time() + 30
        while not number.endswith(b"\n") and time.time() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip():
            self.process.kill()
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number.decode().strip()

    def xdotool(self, *args):
        env = dict(os.environ, DISPLAY=self.name)
        done = subprocess.run(["xdotool"] + list(args), env=env, capture_output=True, text=True)
        return done.stdout.split()

    def visible_windows(self):
        """Mapped windows other than the root."""
        root = self.xdotool("search", "--maxdepth", "0", "--name", "")
        return [w for w in self.xdotool("search", "--onlyvisible", "--name", "") if w not in root]

    def boxes(self):
        return self.xdotool("search", "--onlyvisible", "--name", "^%s$" % re.escape(CAPTION))

    def photograph(self, window, path):
        env = dict(os.environ, DISPLAY=self.name)
        subprocess.run(["import", "-window", window, path], env=env, check=True,
                       capture_output=True)

    def close(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()


RELAY_CALL = re.compile(
    r'Call user32\.MessageBoxA\(([0-9a-fA-F]+),[0-9a-fA-F]+ "((?:[^"\\]|\\.)*)",'
    r'[0-9a-fA-F]+ "((?:[^"\\]|\\.)*)",([0-9a-fA-F]+)\)')
RELAY_RETURN = re.compile(r'Ret  user32\.MessageBoxA\(\) retval=([0-9a-fA-F]+)')
RELAY_LINE = re.compile(r'[0-9a-fA-F]+:(trace:|Call |Ret |Starting thread proc )')


def unescape_debugstr(text):
    return (text.replace("\\n", "\n").replace("\\r", "\r").replace("\\t", "\t")
            .replace('\\"', '"').replace("\\\\", "\\"))


class BoxRun:
    """What one run on a display showed: the MessageBoxA calls (owner, text, caption, type, from
    Wine's relay trace), the windows with the caption that appeared, any other window, the
    photographs taken and the exit code."""

    def __init__(self):
        self.calls = []
        self.windows = []
        self.other_windows = []
        self.photos = []
        self.exit = None
        self.dismissed = 0
        self.returned = []  # MessageBoxA's return values (0: it failed to show the box)
        self.errors = []    # Wine's other messages, to explain a box that did not show

    def explain(self):
        return "MessageBoxA returned %s; Wine's messages: %s" % (self.returned, self.errors or "none")


def run_on_display(prefix, display, exe, args, photo=None, timeout=60):
    """Runs a setup file through cmd on the display, photographs each box that appears (photo is
    a path pattern with {n}) and closes it with the Return key, as a person would."""
    log = os.path.join(prefix.path, "relay-%d.log" % time.monotonic_ns())
    result = BoxRun()
    before = set(display.visible_windows())
    with open(log, "wb") as err, tempfile.TemporaryFile() as out:
        process = subprocess.Popen(
            ["wine", "cmd", "/v:on", "/c", "%s %s & echo EXIT=!errorlevel!" % (exe, args)],
            env=prefix.env(display.name, "-all,err+all,+relay"), stdin=subprocess.DEVNULL,
            stdout=out, stderr=err)
        deadline = time.time() + timeout
        handled = set()
        while process.poll() is None:
            if time.time() > deadline:
                process.kill()
                raise AssertionError("the run did not end within %d s" % timeout)
            for window in display.visible_windows():
                if window in before or window in handled:
                    continue
                if window in display.boxes():
                    handled.add(window)
                    result.windows.append(window)
                    time.sleep(0.5)  # let Wine paint the box
                    if photo is not None:
                        path = photo.format(n=len(result.photos))
                        display.photograph(window, path)
                        result.photos.append(path)
                    display.xdotool("key", "--window", window, "Return")
                    result.dismissed += 1
                elif window not in result.other_windows:
                    result.other_windows.append(window)
            time.sleep(0.1)
        out.seek(0)
        output = out.read()
    result.exit = exit_code(output)
    with open(log, "rb") as f:
        trace = f.read().decode("utf-8", "replace")
    for m in RELAY_CALL.finditer(trace):
        result.calls.append((int(m.group(1), 16), unescape_debugstr(m.group(2)),
                             unescape_debugstr(m.group(3)), int(m.group(4), 16)))
    result.returned = [int(m.group(1), 16) for m in RELAY_RETURN.finditer(trace)]
    result.errors = [line for line in trace.splitlines()
                     if not RELAY_LINE.match(line) and "winemenubuilder" not in line]
    os.remove(log)
    return result


def image_facts(path):
    """Size and number of colours of a picture (ImageMagick's identify)."""
    done = subprocess.run(["identify", "-format", "%w %h %k", path], capture_output=True,
                          text=True, check=True)
    w, h, k = done.stdout.split()
    return int(w), int(h), int(k)
