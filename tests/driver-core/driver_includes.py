#!/usr/bin/env python3
"""driver_includes.py - the driver knows only the two contracts, its own folder, GLib, libintl and the
standard library.

  driver_includes.py check SOURCE_ROOT [--compile-commands FILE --system-dir DIR...]
      Every #include of src/libkelvra/ names a file of include/ or src/libkelvra/ ("..."), or GLib,
      libintl or a header of the C, C++ or POSIX standard library (<...>). With a compile database, every
      driver source is also compiled with include directories among include/, src/libkelvra/ and the
      given system directories (GLib's) only.
  driver_includes.py planted SOURCE_ROOT
      Plants each include of a table, one at a time, into a copy of the driver, and a foreign include
      directory into a compile database of it; passes when the check refuses every one of them.
"""
import json
import os
import re
import shlex
import shutil
import sys
import tempfile

DRIVER_DIR = os.path.join("src", "libkelvra")
CONTRACT_DIR = "include"

CXX_STANDARD = set("""
algorithm any array atomic barrier bit bitset charconv chrono codecvt compare complex concepts
condition_variable coroutine deque exception execution expected filesystem format forward_list fstream
functional future initializer_list iomanip ios iosfwd iostream istream iterator latch limits list locale
map memory memory_resource mutex new numbers numeric optional ostream queue random ranges ratio regex
scoped_allocator semaphore set shared_mutex source_location span sstream stack stdexcept stop_token
streambuf string string_view syncstream system_error thread tuple type_traits typeindex typeinfo
unordered_map unordered_set utility valarray variant vector version
cassert cctype cerrno cfenv cfloat cinttypes climits clocale cmath csetjmp csignal cstdarg cstddef
cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype
""".split())
C_STANDARD = set("""
assert.h ctype.h errno.h fenv.h float.h inttypes.h iso646.h limits.h locale.h math.h setjmp.h signal.h
stdalign.h stdarg.h stdatomic.h stdbool.h stddef.h stdint.h stdio.h stdlib.h stdnoreturn.h string.h
tgmath.h threads.h time.h uchar.h wchar.h wctype.h
""".split())
# What the C library offers beyond ISO C that a driver may use: time, pauses, files, the shell.
POSIX = {"unistd.h", "fcntl.h", "strings.h", "pthread.h", "sys/types.h", "sys/stat.h", "sys/time.h"}
GLIB_AND_LIBINTL = {"glib.h", "libintl.h"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def driver_sources(root):
    folder = os.path.join(root, DRIVER_DIR)
    return sorted(os.path.join(folder, name) for name in os.listdir(folder)
                  if name.endswith((".cpp", ".h")))


def include_refusals(root):
    refusals = []
    local = set(os.listdir(os.path.join(root, DRIVER_DIR))) | set(os.listdir(os.path.join(root, CONTRACT_DIR)))
    for path in driver_sources(root):
        shown = os.path.relpath(path, root)
        with open(path, encoding="utf-8") as source:
            for number, line in enumerate(source, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                quoted, name = match.group(1) == '"', match.group(2)
                if quoted and "/" not in name and name in local:
                    continue
                if not quoted and (name in CXX_STANDARD or name in C_STANDARD or name in POSIX
                                   or name in GLIB_AND_LIBINTL or name.startswith("glib/")):
                    continue
                what = f'"{name}"' if quoted else f"<{name}>"
                refusals.append(f"{shown}:{number}: includes {what}, which is none of include/, "
                                f"src/libkelvra/, GLib, libintl and the standard library")
    return refusals


def include_dirs(command):
    words = shlex.split(command)
    dirs = []
    for i, word in enumerate(words):
        for flag in ("-I", "-isystem", "-iquote", "-idirafter"):
            if word == flag and i + 1 < len(words):
                dirs.append(words[i + 1])
            elif word.startswith(flag) and len(word) > len(flag) and flag == "-I":
                dirs.append(word[len(flag):])
    return dirs


def directory_refusals(root, compile_commands, system_dirs):
    allowed = {os.path.realpath(os.path.join(root, d)) for d in (CONTRACT_DIR, DRIVER_DIR)}
    allowed |= {os.path.realpath(d) for d in system_dirs}
    driver_dir = os.path.realpath(os.path.join(root, DRIVER_DIR))
    refusals = []
    seen = 0
    with open(compile_commands, encoding="utf-8") as database:
        for entry in json.load(database):
            source = os.path.realpath(os.path.join(entry.get("directory", ""), entry["file"]))
            if os.path.dirname(source) != driver_dir:
                continue
            seen += 1
            command = entry.get("command") or shlex.join(entry.get("arguments", []))
            for directory in include_dirs(command):
                if os.path.realpath(os.path.join(entry.get("directory", ""), directory)) not in allowed:
                    refusals.append(f"{os.path.relpath(source, root)} is compiled with {directory} on its "
                                    f"include path")
    if seen == 0:
        refusals.append(f"{compile_commands} compiles no driver source")
    return refusals


def check(argv):
    root = argv[0]
    options = {"--compile-commands": None, "--system-dir": []}
    key = None
    for word in argv[1:]:
        if word in options:
            key = word
        elif key == "--system-dir":
            options[key].append(word)
        elif key is not None:
            options[key] = word
    refusals = include_refusals(root)
    if options["--compile-commands"]:
        refusals += directory_refusals(root, options["--compile-commands"], options["--system-dir"])
    for refusal in refusals:
        print(refusal)
    return 1 if refusals else 0


# Each include a driver source must not have, with what makes it foreign.
PLANTED = [
    ('"kelvs_control.h"', "the virtual sensor's control API"),
    ('"bio_host_program.h"', "the host library's program API"),
    ('"bio_host_testing.h"', "the host library's test hooks"),
    ('"../virtual-sensor/vs_internal.h"', "a path out of the driver's folder"),
    ('"kelvra_internal.h"', None),  # the driver's own header: accepted, so the check is not refusing everything
    ("<sqlite3.h>", "a library that is none of GLib, libintl and the standard library"),
    ("<dlfcn.h>", "a way of reaching other code by name"),
]


def planted(argv):
    root = argv[0]
    failures = []
    with tempfile.TemporaryDirectory(prefix="kelvra-includes-") as copy:
        for folder in (CONTRACT_DIR, DRIVER_DIR):
            shutil.copytree(os.path.join(root, folder), os.path.join(copy, folder))
        victim = os.path.join(copy, DRIVER_DIR, "kelvra_driver.cpp")
        with open(victim, encoding="utf-8") as source:
            original = source.read()
        if include_refusals(copy):
            failures.append("the unplanted copy is already refused")
        for include, why in PLANTED:
            with open(victim, "w", encoding="utf-8") as source:
                source.write(original.replace("\n#include", f"\n#  include {include}\n#include", 1))
            refused = [r for r in include_refusals(copy) if include in r]
            if why and not refused:
                failures.append(f"{include} ({why}) was not refused")
            if not why and refused:
                failures.append(f"{include} was refused: {refused}")
        with open(victim, "w", encoding="utf-8") as source:
            source.write(original)

        database = os.path.join(copy, "compile_commands.json")
        foreign = os.path.join(copy, "src", "virtual-sensor", "include")
        with open(database, "w", encoding="utf-8") as out:
            json.dump([{"directory": copy, "file": victim,
                        "command": f"c++ -I{os.path.join(copy, CONTRACT_DIR)} -isystem {foreign} -c {victim}"}], out)
        if not any(foreign in r for r in directory_refusals(copy, database, [])):
            failures.append("a foreign include directory in the compile database was not refused")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] not in ("check", "planted"):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(check(sys.argv[2:]) if sys.argv[1] == "check" else planted(sys.argv[2:]))
