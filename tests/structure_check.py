#!/usr/bin/env python3
"""The shape the code keeps: checked on every test run.

- No production source file over 700 lines (translation tables and
  pictures are data).
- No production function over 80 lines, unless the line before it says
  why ("// Long:").
- No system call outside platform/, but for the document viewer's start.
- No toolkit include outside ui/ and app/.

Usage: structure_check.py SOURCE_DIR. Prints each finding and exits 1 when
there is one.
"""
import os
import re
import sys

MAX_FILE_LINES = 700
MAX_FUNCTION_LINES = 80
PRODUCTION_DIRS = ["app", "assets", "engine", "kit", "l10n",
                   "launcher_config", "platform", "text", "tools", "ui"]
DATA = re.compile(r"(^l10n/lang_\w+\.cc$|_xpm\.h$)")
# Test code and test-only programs and helpers.
TEST_ONLY = re.compile(
    r"(_test\.cc$|_test_util\.(h|cc)$|^platform/(fault_injection|forwarding_"
    r"system|scoped_temp_dir|test_process)\.|^tools/(kill_hook|kittool_held|"
    r"kittool_killer)\.|^app/setup_killer\.cc$|^ui/(screenshot_tool|"
    r"window_manager_probe)\.cc$)")
SYSTEM_CALLS = (
    "open|openat|read|write|pread|pwrite|close|fsync|fdatasync|syncfs|"
    "ftruncate|futimens|fstat|fstatat|stat|lstat|mkdir|mkdirat|rename|"
    "renameat|unlink|unlinkat|rmdir|symlink|readlink|statvfs|opendir|readdir|"
    "closedir|fopen|fclose|fread|fwrite|getcwd|pipe|pipe2|poll|isatty|ioctl|"
    "sigaction|pthread_sigmask|kill|waitpid|mkostemp|mkstemp|flock|chdir|"
    "access|realpath|dup|dup2|lseek|sync_file_range|copy_file_range|getpid|"
    "geteuid|usleep|nanosleep|execvp|fork|posix_spawn|system|popen")
CALL = re.compile(r"(?<![\w.>:])(?:::)?(" + SYSTEM_CALLS + r")\s*\(")
# The one process start outside the seam.
ALLOWED_CALLS = {"ui/document_opener.cc"}
TOOLKIT = re.compile(r'#include\s*[<"](gtk|gdk|glib|gio|gobject)/')


def sources(root):
    for top in PRODUCTION_DIRS:
        for directory, _, names in os.walk(os.path.join(root, top)):
            for name in sorted(names):
                if not name.endswith((".cc", ".h")):
                    continue
                path = os.path.relpath(os.path.join(directory, name), root)
                if not TEST_ONLY.search(path):
                    yield path


def code_only(text):
    """The text with comments, strings and characters blanked out."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = len(text) if end == -1 else end
            out.append(" " * (end - i))
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i) + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif c in "\"'":
            j = i + 1
            while j < len(text) and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (j - i - 1) + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def long_functions(path, text):
    """(name line, length) of each function body over the limit."""
    lines = text.split("\n")
    code = code_only(text).split("\n")
    found = []
    depth = 0
    start = None
    for number, line in enumerate(code):
        opening = line.count("{")
        closing = line.count("}")
        stripped = line.strip()
        if start is None and opening > closing and re.search(
                r"\)\s*(const|override|noexcept|final|\s)*(->[^{]*)?(:[^{]*)?\{\s*$",
                stripped) and not re.match(
                    r"(if|for|while|switch|else|do|catch|namespace|class|"
                    r"struct|enum|union)\b", stripped):
            start = number
            base = depth
        depth += opening - closing
        if start is not None and depth <= base:
            length = number - start + 1
            before = lines[start - 1] if start > 0 else ""
            if length > MAX_FUNCTION_LINES and "// Long:" not in before:
                found.append((start + 1, length))
            start = None
    return found


def main(root):
    findings = []
    for path in sources(root):
        with open(os.path.join(root, path), encoding="utf-8") as f:
            text = f.read()
        if DATA.search(path):
            continue
        count = text.count("\n")
        if count > MAX_FILE_LINES:
            findings.append(f"{path}: {count} lines")
        for line, length in long_functions(path, text):
            findings.append(f"{path}:{line}: function of {length} lines")
        top = path.split("/")[0]
        code = code_only(text)
        if top != "platform" and path not in ALLOWED_CALLS:
            for number, line in enumerate(code.split("\n"), 1):
                match = CALL.search(line)
                # A declaration of a method of that name is no call.
                if match and re.search(r"\b(?!return\b)\w+[\s*&]+$",
                                       line[:match.start()]):
                    match = None
                if match:
                    findings.append(
                        f"{path}:{number}: system call {match.group(1)}()")
        if top not in ("ui", "app") and TOOLKIT.search(text):
            findings.append(f"{path}: includes the toolkit")
    for finding in findings:
        print(finding)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
