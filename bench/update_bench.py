"""The two halves of bench/update_bench.sh that Python does:
    update_bench.py trees WORK WELKARA_EXE    makes WORK/package (the package's tree) and WORK/installed
                                              (the installation it updates), both from fixed seeds
    update_bench.py WORK RUNS                 measures; the script has made the rest of WORK (the prefix,
                                              Installer.exe beside its manifest, the signed package) and
                                              exported Wine's environment"""
import os, random, shutil, subprocess, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts", "lib"))
import installer_run

FILES = 20000
INVOKING, EXECUTING = "extractUpdate: invoking", "Executing"
# Left beside itself by the stand-in welkara.exe once the installer has started it.
STARTED = "started.txt"


def package_paths():
    """The package's 20,000 files, dealt out over its leaf folders: a runtime ("python": DLLs and 72
    modules of its library) and a data part (8 collections of 15 sets), 204 folders in all, 3 levels
    deep at most."""
    leaves = [("python/DLLs", "lib%05d.pyd")] + [("python/Lib/mod%02d" % m, "m%05d.py") for m in range(72)]
    leaves += [("data/c%d/s%02d" % (c, s), "item%05d.dat") for c in range(8) for s in range(15)]
    return ["%s/%s" % (leaves[i % len(leaves)][0], leaves[i % len(leaves)][1] % i) for i in range(FILES)]


def own_paths():
    """200 files that the application wrote itself and the package lacks: beside package files in folders
    that both hold, in a folder of "data" that the package lacks, and in a top-level folder of their own."""
    return (["data/c%d/s%02d/cache%03d.tmp" % (i % 8, i % 15, i) for i in range(100)] +
            ["data/cache/entry%03d.bin" % i for i in range(50)] + ["profiles/p%d/settings%02d.ini" % (i % 5, i)
                                                                  for i in range(50)])


def write_files(root, paths, seed):
    rng = random.Random(seed)
    for path in paths:
        name = os.path.join(root, path)
        os.makedirs(os.path.dirname(name), exist_ok=True)
        with open(name, "wb") as f:
            f.write(rng.randbytes(rng.randint(100, 4096)))


def make_trees(work, welkara_exe):
    package, installed = os.path.join(work, "package"), os.path.join(work, "installed")
    write_files(package, package_paths(), 1)
    write_files(installed, package_paths(), 2)  # the previous version: same paths, other bytes and sizes
    write_files(installed, own_paths(), 3)
    for tree in (package, installed):
        shutil.copyfile(welkara_exe, os.path.join(tree, "welkara.exe"))


def listing(root):
    """Every file under root by its path relative to it, with '/' between names."""
    return {os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")
            for folder, _, names in os.walk(root) for name in names}


def same_bytes(a, b):
    with open(a, "rb") as f, open(b, "rb") as g:
        return f.read() == g.read()


def check_tree(who):
    """The code folder must hold the package's files with the package's bytes, the application's own files
    unchanged, and nothing else (but the stand-in's started.txt); the bytes are compared for a sample."""
    found = listing(code_folder) - {STARTED}
    if found != expected:
        sys.exit("update_bench: after %s the code folder holds %d files, not the %d expected: %d missing (%s), "
                 "%d more (%s)" % (who, len(found), len(expected), len(expected - found),
                                   ", ".join(sorted(expected - found)[:5]), len(found - expected),
                                   ", ".join(sorted(found - expected)[:5])))
    for path, source in sample:
        if not same_bytes(os.path.join(code_folder, path), os.path.join(source, path)):
            sys.exit("update_bench: after %s %s does not hold the bytes of %s" % (who, path, source))


def fresh_installation():
    """Puts the previous installation in place anew, with nothing of an earlier run left (its .installer
    folder goes with the rest), and lets the disk catch up so that no round waits for another's writing.
    The earlier round's folder is only moved aside, into WORK/old, which goes at the end with WORK:
    removing 20,000 files took up to 30 s here while the disk was busy."""
    if os.path.exists(code_folder):
        os.makedirs(old, exist_ok=True)
        os.rename(code_folder, os.path.join(old, str(len(os.listdir(old)))))
    os.makedirs(os.path.dirname(code_folder), exist_ok=True)
    subprocess.run(["cp", "-a", pristine, code_folder], check=True)
    os.sync()


def installer_round():
    """One update by Installer.exe: (seconds to its final line, to "invoking", to "Executing")."""
    fresh_installation()
    shutil.copyfile(master, local_package)  # a successful installation deletes it
    seen_at = {}

    def tick(result, now):
        for line in result.lines:
            for opener in (INVOKING, EXECUTING):
                if line.startswith(opener):
                    seen_at.setdefault(opener, now)

    result = installer_run.run(prefix, os.path.join(installer_dir, "Installer.exe"), tick=tick)
    if not result.installed() or len(seen_at) < 2:
        sys.exit("update_bench: Installer.exe did not update the installation; its log:\n" + "\n".join(result.lines))
    check_tree("Installer.exe")
    return result.final_at, seen_at[INVOKING], seen_at[EXECUTING], result.lines


def floor_round():
    """The same package unpacked over the same installation by 7za.exe alone: copy it in as archive.7z,
    unpack it under Wine, remove it. Returns the seconds of the whole and of the 7za.exe run."""
    fresh_installation()
    archive = os.path.join(code_folder, "archive.7z")
    start = time.monotonic()
    shutil.copyfile(master, archive)
    unpack_start = time.monotonic()
    code = subprocess.run(["wine", os.path.join(installer_dir, "7za.exe"), "-y", "-bd", "x", "archive.7z"],
                          cwd=code_folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    unpack = time.monotonic() - unpack_start
    os.remove(archive)
    seconds = time.monotonic() - start
    if code != 0:
        sys.exit("update_bench: 7za.exe x ended with %d" % code)
    check_tree("7za.exe")
    return seconds, unpack


if sys.argv[1] == "trees":
    make_trees(sys.argv[2], sys.argv[3])
    sys.exit(0)

work, runs = sys.argv[1], int(sys.argv[2])
prefix = os.path.join(work, "wineprefix")
installer_dir = os.path.join(work, "installer")
master = os.path.join(work, "package.7z")
local_package = os.path.join(installer_dir, "package.7z")
package, pristine, old = (os.path.join(work, name) for name in ("package", "installed", "old"))
code_folder = os.path.join(prefix, "drive_c", "Program Files (x86)", "Orvanta", "Welkara")
package_files = listing(package)
expected = package_files | set(own_paths())
sample = [(path, package) for path in random.Random(4).sample(package_paths(), 300) + ["welkara.exe"]]
sample += [(path, pristine) for path in own_paths()]

# An idle cmd.exe holds the prefix's desktop for the whole bench, as bench/install_bench.py does: with no
# process left on it Wine closes the desktop, and the next Installer.exe waits seconds for a new one.
holder = subprocess.Popen(["wine", "cmd"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)
# Untimed, one round of each: the first starts of both programs in the new prefix.
warm_up = installer_round()
floor_round()

unpacked = sum(os.path.getsize(os.path.join(package, path)) for path in package_files)
print("package: %d files (%d bytes), LZMA2 %d bytes; installation: the same paths with other bytes and %d "
      "files of the application's own; %d runs each, taking turns"
      % (len(package_files), unpacked, os.path.getsize(master), len(own_paths()), runs))
# What the installer logs while it updates tells which way it does it.
phase = warm_up[3][next(i for i, line in enumerate(warm_up[3]) if line.startswith(INVOKING)):]
phase = phase[: next(i for i, line in enumerate(phase) if line.startswith(EXECUTING)) + 1]
print("warm-up run's log from \"invoking\" to \"Executing\" (%d lines%s):" %
      (len(phase), ", the first 12 and the last" if len(phase) > 13 else ""))
print("".join("    %s\n" % line for line in (phase[:12] + ["..."] + phase[-1:] if len(phase) > 13 else phase)),
      end="")

installs, floors = [], []
for run in range(runs):
    installs.append(installer_round())
    floors.append(floor_round())
    finished, invoking, executing, _ = installs[-1]
    print("run %d: installer %.3f s to \"finished\" (\"invoking\" at %.3f s, \"Executing\" at %.3f s: update "
          "%.3f s); floor %.3f s (7za.exe %.3f s)" % (run + 1, finished, invoking, executing, executing - invoking,
                                                       *floors[-1]))

finished, floor = min(r[0] for r in installs), min(f[0] for f in floors)
update, unpack = min(r[2] - r[1] for r in installs), min(f[1] for f in floors)
print("installer to \"Installer thread finished\", best: %7.3f s   floor (copy + 7za.exe x + remove), best: "
      "%7.3f s   ratio %.3f (target <= 1.2)" % (finished, floor, finished / floor))
print("\"invoking\" to \"Executing\", best:             %7.3f s   floor's 7za.exe run, best:            "
      "%7.3f s   ratio %.3f" % (update, unpack, update / unpack))
holder.stdin.close()
holder.wait()
