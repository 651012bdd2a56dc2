"""The measuring half of bench/install_bench.sh, which makes WORK (the prefix, Installer.exe beside its
manifest, the signed package) and exports Wine's environment:
    install_bench.py WORK RUNS"""
import glob, os, shutil, subprocess, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts", "lib"))
import installer_run

work, runs = sys.argv[1], int(sys.argv[2])
prefix = os.path.join(work, "wineprefix")
installer_dir = os.path.join(work, "installer")
master = os.path.join(work, "package.7z")
local_package = os.path.join(installer_dir, "package.7z")
code_folder = os.path.join(prefix, "drive_c", "Program Files (x86)", "Orvanta", "Welkara")
payload = os.path.join(code_folder, "data", "payload.bin")
package_size = os.path.getsize(master)
MIB = 1 << 20
FINISHED = installer_run.INSTALLED
# Log lines that open each phase of a successful run, for the breakdown of the best run.
PHASES = (("start-up, folders", "Will try to install"), ("read the package", "Verifying with"),
          ("check the signature", "verify_eddsa: verify result"), ("write archive.7z", "extractUpdate: invoking"),
          ("7za.exe x", "Executing"), ("launch, delete package", FINISHED))


def memory_kib(pid):
    """(VmHWM, RssAnon) of pid while it runs Installer.exe (not the wine script it starts as), else None.
    VmHWM is the kernel's peak of the whole resident set, shared libraries included; RssAnon is the
    current private memory, whose peak is only known as far as the samples catch it."""
    try:
        with open("/proc/%d/comm" % pid) as f:
            if f.read().strip() != "Installer.exe":
                return None
        values = {}
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                name = line.split(":")[0]
                if name in ("VmHWM", "RssAnon"):
                    values[name] = int(line.split()[1])
        return values["VmHWM"], values["RssAnon"]
    except (OSError, KeyError):
        return None


def run_installer(expect_failure=False):
    """One run of Installer.exe with the manifest beside it. Returns (seconds to the final log line,
    seconds to the process end, peak resident bytes, {log line prefix: seconds}, highest private bytes
    sampled). A failed run's window is closed once its peak has stopped growing for 3 s (the window's
    drawing objects are made by then)."""
    seen_at, memory = {}, {"peak": 0, "changed": 0.0, "private": 0}

    def sample(result, now):
        kib = memory_kib(result.pid)
        if kib is not None:
            memory["private"] = max(memory["private"], kib[1])
            if kib[0] > memory["peak"]:
                memory["peak"], memory["changed"] = kib[0], now
        # Between the invoking line and "Executing": the extractor's output file exists in the unpacked
        # folder of the run's work folder from its start until it returns (the file goes when its handle
        # is closed).
        if PHASES[3][1] in seen_at and PHASES[4][1] not in seen_at:
            names = []
            for unpacked in glob.glob(os.path.join(code_folder, ".installer", "run-*", "unpacked")):
                try:
                    names += os.listdir(unpacked)
                except OSError:
                    pass
            if any(name.startswith("7za-output-") for name in names):
                seen_at.setdefault("output seen", now)
            elif "output seen" in seen_at:
                seen_at.setdefault("extractor returned", now)
        for line in result.lines:
            for _, opener in PHASES:
                if line.startswith(opener):
                    seen_at.setdefault(opener, now)

    def may_close(result, now):
        return not expect_failure or now - memory["changed"] > 3 or now > 60

    result = installer_run.run(prefix, os.path.join(installer_dir, "Installer.exe"), tick=sample,
                               may_close=may_close)
    if result.final is None or result.installed() == expect_failure:
        sys.exit("install_bench: unexpected run of Installer.exe; its log:\n" + "\n".join(result.lines))
    if memory["peak"] == 0:
        sys.exit("install_bench: the Installer.exe process was never seen in /proc")
    seen_at["final"] = result.final_at
    return result.final_at, result.ended_at, memory["peak"] * 1024, seen_at, memory["private"] * 1024


def clear_code_folder():
    """Empties the code folder and lets the disk catch up, so that no round waits for the writing that
    the one before it left behind (the floor flushes 256 MiB, and both leave the unpacked payload)."""
    os.makedirs(code_folder, exist_ok=True)
    for name in os.listdir(code_folder):
        path = os.path.join(code_folder, name)
        shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
    os.sync()


def installer_round():
    clear_code_folder()
    shutil.copyfile(master, local_package)  # a successful installation deletes it
    result = run_installer()
    if os.path.getsize(payload) != 256 * MIB or os.path.exists(local_package):
        sys.exit("install_bench: the installer did not unpack the payload and delete the local package")
    return result


def floor_round():
    """The same work without the installer: copy into place, unpack with 7za.exe under Wine, remove.
    Returns the seconds of the whole, of the 7za.exe run alone, of removing a copy of the archive that
    was flushed to disk first, as the installer flushes archive.7z, and of writing the unpacked files
    through to the disk, as the installer does before its swap (neither of the last two is in the
    whole: the floor's own archive is removed before the file system has written it, and nothing of the
    floor is flushed)."""
    clear_code_folder()
    archive = os.path.join(code_folder, "archive.7z")
    start = time.monotonic()
    shutil.copyfile(master, archive)
    unpack_start = time.monotonic()
    subprocess.run(["wine", os.path.join(installer_dir, "7za.exe"), "-y", "-bd", "x", "archive.7z"],
                   cwd=code_folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    unpack = time.monotonic() - unpack_start
    os.remove(archive)
    seconds = time.monotonic() - start
    if os.path.getsize(payload) != 256 * MIB:
        sys.exit("install_bench: 7za.exe did not unpack the payload")
    flush_start = time.monotonic()
    for name in (payload, os.path.join(code_folder, "welkara.exe")):
        with open(name, "rb+") as f:
            os.fsync(f.fileno())
    flush = time.monotonic() - flush_start
    shutil.copyfile(master, archive)
    with open(archive, "rb+") as f:
        os.fsync(f.fileno())
    removal_start = time.monotonic()
    os.remove(archive)
    return seconds, unpack, time.monotonic() - removal_start, flush


# An idle cmd.exe holds the prefix's desktop for the whole bench, as a Windows session always has one:
# with no process left on it Wine closes the desktop, and an Installer.exe that started just then took
# 10.4 s instead of 0.3 s to create its window (seen in some rounds when the floor ran longer).
holder = subprocess.Popen(["wine", "cmd"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)
# The program's footprint without a package: a run whose manifest names a local package not there yet.
base_run = run_installer(expect_failure=True)
base, base_private = base_run[2], base_run[4]
installer_round(), floor_round()  # untimed: first starts of both programs in the new prefix

print("package: %d bytes (%.1f MiB), stored; %d runs each, taking turns" % (package_size, package_size / MIB, runs))
results, floors, unpacks, removals, flushes = [], [], [], [], []
for run in range(runs):
    result = installer_round()
    floor, unpack, removal, flush = floor_round()
    results.append(result)
    floors.append(floor)
    unpacks.append(unpack)
    removals.append(removal)
    flushes.append(flush)
    at = result[3]
    invoking = at[PHASES[3][1]]
    print("run %d: installer %.3f s to \"finished\" (start-up %.3f s, 7za.exe phase %.3f s: the extractor "
          "returned after %.3f s), %.3f s to exit, peak %.1f MiB; floor %.3f s "
          "(7za.exe %.3f s; removing a flushed archive %.3f s; flushing the unpacked files %.3f s)"
          % (run + 1, result[0], at[PHASES[0][1]], at[PHASES[4][1]] - invoking,
             at.get("extractor returned", float("nan")) - invoking,
             result[1], result[2] / MIB, floor, unpack, removal, flush))

best = min(results, key=lambda r: r[0])
floor = min(floors)
to_end = min(r[1] for r in results)
peak = max(r[2] for r in results)
print("best run of the installer, phase by phase (from the log lines as they appeared):")
previous = 0.0
for name, opener in PHASES:
    print("  %-24s %7.3f s" % (name, best[3][opener] - previous))
    previous = best[3][opener]
print("floor (copy + 7za.exe x under Wine), best:       %7.3f s" % floor)
# The extractor, from its invoking line to its return (its output file gone; sampled about every 20 ms),
# against the floor's own "wine 7za.exe" run started from this script.
unpack = min(unpacks)
returned = [r[3]["extractor returned"] - r[3][PHASES[3][1]] for r in results if "extractor returned" in r[3]]
if len(returned) < len(results):
    sys.exit("install_bench: a run's extractor output file was not seen to come and go")
print("extractor (invoking line to its return), best:   %7.3f s   ratio %.3f to the floor's 7za.exe run (%.3f s)"
      % (min(returned), min(returned) / unpack, unpack))
# The whole phase from "extractUpdate: invoking" to "Executing" holds the installer's deletion of
# archive.7z as well, which it flushed to disk before the extractor ran; the floor's own archive is
# removed unwritten, so removing a flushed copy of it is timed apart and added for the same work.
extractor = min(r[3][PHASES[4][1]] - r[3][PHASES[3][1]] for r in results)
removal = min(removals)
print("invoking line to \"Executing\", best:            %7.3f s   ratio %.3f to the floor's 7za.exe run, %.3f to "
      "it plus removing a flushed archive (%.3f s)" % (extractor, extractor / unpack, extractor / (unpack + removal),
                                                       removal))
# After the extractor: the archive's deletion, the flush of what was unpacked, the carrying over, the
# record, the moves and their flush, and removing what was moved aside.
after = min(r[3][PHASES[4][1]] - r[3]["extractor returned"] for r in results)
print("extractor's return to \"Executing\" (flush, swap), best: %7.3f s; flushing the unpacked files alone took %.3f s"
      % (after, min(flushes)))
print("installer to \"Installer thread finished\", best: %7.3f s   ratio %.3f (target <= 1.15)" %
      (best[0], best[0] / floor))
print("installer to process end (2.5 s pause), best:    %7.3f s   ratio %.3f" % (to_end, to_end / floor))
# The floor does none of the installer's own work: starting a second Wine process with its window and
# checking the signature over every byte. Those two phases of the best run, added to the floor, are
# what any installation that checks its package must spend at least.
startup = best[3][PHASES[0][1]]
check = best[3][PHASES[2][1]] - best[3][PHASES[1][1]]
print("  not in the floor: start-up %.3f s, signature check %.3f s; floor + both: %.3f s, ratio %.3f" %
      (startup, check, floor + startup + check, (floor + startup + check) / floor))
print("  installer to \"Installer thread finished\" over floor + both: ratio %.3f" % (best[0] / (floor + startup + check)))
print("peak memory (VmHWM of Installer.exe), highest:   %7.1f MiB = package + %.1f MiB (target <= package + 32 MiB)"
      % (peak / MIB, (peak - package_size) / MIB))
print("  footprint without a package (window drawn, run failed before reading): %.1f MiB" % (base / MIB))
print("  peak less that footprint: %.1f MiB = package + %.1f MiB" %
      ((peak - base) / MIB, (peak - base - package_size) / MIB))
private = max(r[4] for r in results)
print("private memory (RssAnon, sampled every 10 ms), highest: %.1f MiB = package + %.1f MiB; without a "
      "package %.1f MiB" % (private / MIB, (private - package_size) / MIB, base_private / MIB))
holder.stdin.close()
holder.wait()
