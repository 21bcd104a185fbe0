#!/usr/bin/python3
"""Reads the scanner's console output or log file for the end-to-end checks.

    scan_output.py walk-order               report lines on stdin
    scan_output.py status-console TIME_RE   console lines on stdin
    scan_output.py probe-traces DRIVE       log on stdin, e.g. DRIVE "D:"
    scan_output.py block FIRST STOP FILE

The check commands print one line per problem found and nothing when all is
well; the others print what they extract. Lines are compared as bytes, so
names that are not UTF-8 pass through unchanged.
"""
import re
import sys

if __name__ == "__main__":
    # It takes no options: --help prints the usage above; any other option is
    # refused with it, before anything is read or written.
    for arg in sys.argv[1:]:
        if arg in ("-h", "--help"):
            print(__doc__.strip())
            sys.exit(0)
        if arg.startswith("-") and arg != "-":
            print(f"{sys.argv[0]}: unknown option {arg}\n{__doc__.strip()}", file=sys.stderr)
            sys.exit(2)


def read_lines(stream):
    return [line.rstrip(b"\n") for line in stream.buffer]


def show(raw):
    return raw.decode("utf-8", "backslashreplace")


def walk_order(lines):
    """Drives come in ascending letter order, and the report lines of every
    folder's subtree form one unbroken block."""
    problems = []
    first, last, count = {}, {}, {}
    previous_drive = b""
    for number, line in enumerate(lines, 1):
        path = re.sub(rb" - [^ ]+$", b"", line)
        drive = path[:1]
        if drive < previous_drive:
            problems.append(f"drive {show(drive)} after {show(previous_drive)}: {show(path)}")
        previous_drive = drive
        folder = b""
        for part in path.split(b"\\")[:-1]:
            folder += part + b"\\"
            first.setdefault(folder, number)
            last[folder] = number
            count[folder] = count.get(folder, 0) + 1
    for folder in first:
        if last[folder] - first[folder] + 1 != count[folder]:
            problems.append(f"subtree of {show(folder)} is not contiguous")
    return problems


def status_console(lines, time_re):
    """"# Started" and its time line come before the first report line,
    "# Complete" and its time line after the last one."""
    time = re.compile(time_re.encode())
    started = complete = None          # line numbers, from 1
    first_report = last_report = None
    for number, line in enumerate(lines, 1):
        if line.startswith(b"# "):
            if line == b"# Started" and started is None:
                started = number
            if line == b"# Complete":
                complete = number
        else:
            first_report = first_report or number
            last_report = number

    def time_after(number):
        return number < len(lines) and lines[number].startswith(b"# ") \
            and time.search(lines[number][2:]) is not None

    problems = []
    if started is None:
        problems.append('no "# Started" line')
    elif not time_after(started):
        problems.append('no time line after "# Started"')
    if complete is None:
        problems.append('no "# Complete" line')
    elif not time_after(complete):
        problems.append('no time line after "# Complete"')
    if first_report is None:
        problems.append("no report line")
    else:
        if started is None or started + 1 >= first_report:
            problems.append('"# Started" or its time after a report line')
        if complete is None or complete < last_report:
            problems.append('"# Complete" before a report line')
    return problems


def probe_traces(lines, drive):
    """Each version probe of a file on DRIVE, from its "# GetFileVersion()"
    line to the line that ends it (the length found, or an ERROR), joined
    with "|" into one line. Sorted, since folders list their files in
    different orders on different platforms."""
    start = b"# GetFileVersion() " + drive.encode()
    traces, open_trace = [], None

    def ends(line):
        return b"len=" in line or b"ERROR" in line

    for line in lines:
        if line.startswith(start):
            open_trace = [line]
        elif open_trace is not None:
            open_trace.append(line)
        else:
            continue
        if ends(line):
            traces.append(b"|".join(open_trace))
            open_trace = None
    return sorted(traces)


def block(lines, first, stop):
    """From the first line equal to FIRST up to, not including, the next line
    equal to STOP."""
    first, stop = first.encode(), stop.encode()
    try:
        begin = lines.index(first)
    except ValueError:
        return []
    end = begin + 1
    while end < len(lines) and lines[end] != stop:
        end += 1
    return lines[begin:end]


def main(argv):
    command, args = (argv[1], argv[2:]) if len(argv) > 1 else ("", [])
    if command == "walk-order" and not args:
        out = [p.encode() for p in walk_order(read_lines(sys.stdin))]
    elif command == "status-console" and len(args) == 1:
        out = [p.encode() for p in status_console(read_lines(sys.stdin), args[0])]
    elif command == "probe-traces" and len(args) == 1:
        out = probe_traces(read_lines(sys.stdin), args[0])
    elif command == "block" and len(args) == 3:
        with open(args[2], "rb") as f:
            out = block([line.rstrip(b"\n") for line in f], args[0], args[1])
    else:
        sys.stderr.write(__doc__)
        return 2
    sys.stdout.buffer.write(b"".join(line + b"\n" for line in out))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
