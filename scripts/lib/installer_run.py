"""One run of Installer.exe under Wine, followed through the install log to the line that ends it, for
scripts/demo (through the command below) and bench/install_bench.py (through run()). WINEPREFIX and the
rest of Wine's environment come from the caller (welkara_prefix_up).
    installer_run.py PREFIX [--photograph FILE] INSTALLER [ARGUMENT...]
prints the run's log, its timings and its final status, and exits 1 unless it installed. With
--photograph, the window is photographed into FILE a second after the final line (the window puts each
status on the screen within a second), before a failed run's window is closed."""
import glob, os, re, subprocess, sys, threading, time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The final lines of install/final_lines.h by name, without their line feed.
with open(os.path.join(ROOT, "install", "final_lines.h")) as f:
    FINALS = dict(re.findall(r'^constexpr const wchar_t\* (k\w+) = L"([^\\"]*)(?:\\n)?";$', f.read(), re.M))
INSTALLED = FINALS["kInstalled"]
FINAL_LINES = frozenset(FINALS.values())


def final_line(lines):
    """The first of LINES that is a final line, by the whole line: a detail line may begin with a final
    line's words ("Couldn't lock the code folder C:\\... (5)"). None when the run has not ended."""
    return next((line for line in lines if line in FINAL_LINES), None)


def log_path(prefix):
    found = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local", "Orvanta", "Welkara",
                                   "instlog.txt"))
    return found[0] if found else None


def log_since(path, offset):
    """The lines of the UTF-16LE log from a byte offset on."""
    if path is None:
        return []
    with open(path, "rb") as f:
        f.seek(offset)
        data = f.read()
    return data[: len(data) // 2 * 2].decode("utf-16-le", errors="replace").lstrip("\ufeff").splitlines()


class Run:
    pid = final = final_at = first_at = ended_at = exit_code = None
    lines = ()

    def installed(self):
        return self.final == INSTALLED


def run(prefix, installer, arguments=(), tick=None, may_close=None, limit=300):
    """Runs INSTALLER with ARGUMENTS from its own folder until the process ends, looking every 10 ms.
    tick(run, now) is called each time, with the seconds since the start. A failed run's window stays
    open until closed: once its final line is logged and may_close(run, now) agrees, it is closed the
    way a user would (WM_CLOSE); a run still going after LIMIT seconds is stopped. Returns the Run:
    its pid, times in seconds since the start, lines its log lines."""
    path = log_path(prefix)
    offset = os.path.getsize(path) if path else 0
    result, closing, start = Run(), False, time.monotonic()
    process = subprocess.Popen(["wine", installer, *arguments], cwd=os.path.dirname(installer),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    result.pid, ended = process.pid, []
    waiter = threading.Thread(target=lambda: (process.wait(), ended.append(time.monotonic() - start)))
    waiter.start()
    while not ended:
        now = time.monotonic() - start
        path = path or log_path(prefix)
        if result.final is None:
            result.lines = log_since(path, offset)
            if result.lines and result.first_at is None:
                result.first_at = now
            result.final = final_line(result.lines)
            result.final_at = None if result.final is None else now
        if tick:
            tick(result, now)
        if result.final is not None and not result.installed() and not closing and (
                may_close is None or may_close(result, now)):
            closing = True
            subprocess.run(["wine", "taskkill", "/im", "Installer.exe"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        if now > limit and not closing:
            print("installer_run: Installer.exe still runs after %d s; stopping it" % limit, file=sys.stderr)
            closing = True
            process.kill()
        time.sleep(0.01)
    waiter.join()
    result.ended_at, result.exit_code, result.lines = ended[0], process.returncode, log_since(path, offset)
    return result


def photograph(file):
    """Photographs the installer's window into FILE and says what it shows: "unpainted" (black), or by
    the width of the centred status line, "installing" (the widest text, 51 characters), "error" (46) or
    "installed" (35). None when there is no window to photograph."""
    windows = subprocess.run(["timeout", "5", "xdotool", "search", "--onlyvisible", "--name",
                              "^Orvanta Welkara Installer$"], capture_output=True, text=True).stdout.split()
    partial = file + ".partial.png"
    # import can wait for ever on a window that goes away while it is photographed.
    if not windows or subprocess.run(["timeout", "5", "import", "-window", windows[0], partial],
                                     stderr=subprocess.DEVNULL).returncode != 0:
        return None
    os.replace(partial, file)
    # Two measures of the top 22 rows: the mean of the status line's left part (about 0.93 on the drawn
    # grey background, near 0 while black), then the width of the dark pixels' bounding box as a share
    # of the window's width.
    mean, width = map(float, subprocess.run(
        ["convert", file, "-crop", "10000x22+0+0", "+repage", "(", "+clone", "-crop", "200x20+20+0", "-format",
         "%[fx:mean] ", "-write", "info:", "+delete", ")", "-threshold", "50%", "-negate", "-trim", "-format",
         "%[fx:w/page.width]", "info:"], capture_output=True, text=True).stdout.split())
    return "unpainted" if mean < 0.5 else "installed" if width < 0.37 else "error" if width < 0.425 else "installing"


def main(arguments):
    prefix, arguments, picture, shown = arguments[0], arguments[1:], None, []
    if arguments[0] == "--photograph":
        picture, arguments = arguments[1], arguments[2:]

    def take_photograph(result, now):
        if picture and not shown and result.final is not None and now >= result.final_at + 1:
            shown.append(photograph(picture))

    result = run(prefix, arguments[0], arguments[1:], tick=take_photograph,
                 may_close=lambda result, now: shown or not picture, limit=90)
    path = log_path(prefix)
    print("install log of this run (%s):" % (os.path.relpath(path, prefix) if path else "no log yet"))
    print("".join("    %s\n" % line for line in result.lines), end="")
    seconds = lambda at: "?" if at is None else "%.1f" % at
    print("Installer.exe ended after %s s with exit code %d (first log line after %s s, last after %s s)"
          % (seconds(result.ended_at), result.exit_code, seconds(result.first_at), seconds(result.final_at)))
    if shown:
        print("window photographed into %s: it shows %s" % (picture, shown[0] or "nothing (no window found)"))
    if result.installed():
        print("final status: \"Orvanta Welkara has been installed.\"; the window closed itself")
        return 0
    print("demo: the run ended without its final log line" if result.final is None else
          "final status: \"There was an error installing Orvanta Welkara.\"", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
