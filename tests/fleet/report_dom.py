#!/usr/bin/env python3
"""report_dom.py: the figures of vurfleet's report page, as lines to compare.

  report_dom.py page DOM.html
      the figures the page holds (from the browser's --dump-dom): machine
      counts, the lists of machines, each program's machines and versions,
      the changes, the tags that could fetch or run anything
  report_dom.py expect VURFLEET DB NOW TOP [ADVISORIES]
      the same lines worked out from vurfleet's own CSV queries: machines,
      changes, and for the programs `find --csv` of the whole fleet (which
      names are held by the most machines) and `find --name NAME --csv`
      (each version's machines); with ADVISORIES, the exposure section's
      from `exposure --summary` and `exposure` at NOW
  report_dom.py expect-licenses VURFLEET DB NOW ENTITLEMENTS STALE
      the Licenses section's lines from `licenses`, `licenses --days` and
      `licenses --machines` at NOW with --stale STALE

Numbers are written as the page writes them (1,234; 33.3 %)."""
import csv
import io
import subprocess
import sys
from datetime import datetime, timedelta
from html.parser import HTMLParser

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

NEWEST_CHANGES = 50
SHOWN_MACHINES = 50
SHOWN_VERSIONS = 12
LISTED_ADVISORIES = 5
LISTED_MACHINES = 20
LISTED_STALE = 20
KINDS = ["added", "removed", "upgraded", "downgraded", "changed"]
FETCHING = ["script", "img", "link", "iframe", "object", "embed", "frame", "audio", "video",
            "source", "base", "form"]


class Page(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.stack = []          # (tag, attrs) of the open elements
        self.texts = {}          # id -> text
        self.tags = {t: 0 for t in FETCHING}
        self.programs = []       # [name, machines, [[version, count, share]]]
        self.tables = {}         # table id -> rows of cell texts
        self.cell = None
        self.title = ""
        self.table_ids = {}      # table id -> its data-id
        self.row_ids = {}        # table id -> the data-id of each row

    def open_ids(self):
        return [a.get("id") for _, a in self.stack if a.get("id")]

    def classes(self):
        return [set((a.get("class") or "").split()) for _, a in self.stack]

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag in self.tags:
            self.tags[tag] += 1
        if tag == "article" and "program" in (a.get("class") or ""):
            self.programs.append([a.get("data-name"), "", [], ""])
        if tag == "tr" and self.programs and self.inside("article") and self.inside("tbody"):
            self.programs[-1][2].append(["", "", ""])
        table = self.table()
        if tag == "tr" and table and self.inside("tbody"):
            self.tables[table].append([])
            self.row_ids.setdefault(table, []).append(a.get("data-id"))
        if tag in ("td", "th") and table and self.inside("tbody") and self.tables[table]:
            self.tables[table][-1].append("")
        if tag not in ("meta", "br", "rect", "input"):
            self.stack.append((tag, a))
        if tag == "table" and a.get("id"):
            self.tables[a["id"]] = []
            self.table_ids[a["id"]] = a.get("data-id")

    def handle_startendtag(self, tag, attrs):
        if tag in self.tags:
            self.tags[tag] += 1

    def handle_endtag(self, tag):
        for k in range(len(self.stack) - 1, -1, -1):
            if self.stack[k][0] == tag:
                del self.stack[k:]
                break

    def inside(self, tag):
        return any(t == tag for t, _ in self.stack)

    def table(self):
        for t, a in reversed(self.stack):
            if t == "table" and a.get("id") in self.tables:
                return a["id"]
        return None

    def handle_data(self, data):
        if self.stack and self.stack[-1][0] == "title":
            self.title += data
        for i in self.open_ids():
            self.texts[i] = self.texts.get(i, "") + data
        table = self.table()
        if table and self.tables[table] and self.tables[table][-1] and self.inside("tbody"):
            self.tables[table][-1][-1] += data
        if self.programs and self.inside("article"):
            classes = set().union(*self.classes())
            if "machines" in classes:
                self.programs[-1][1] += data
            elif "more" in classes:
                self.programs[-1][3] += data
            elif self.inside("tbody") and self.programs[-1][2]:
                row = self.programs[-1][2][-1]
                if "version" in classes:
                    row[0] += data
                elif "count" in classes:
                    row[1] += data
                elif "share" in classes:
                    row[2] += data


def page(path):
    p = Page()
    with open(path, encoding="utf-8") as f:
        p.feed(f.read())
    out = [f"title {p.title}"]
    for i in ["machines-total", "machines-ok", "machines-incomplete", "machines-stale",
              "newest-scan", "changes-total"] + [f"changes-{k}" for k in KINDS]:
        out.append(f"{i} {p.texts.get(i, '(missing)')}")
    for table, word in (("list-incomplete", "incomplete"), ("list-stale", "stale")):
        out += [f"{word} {row[0]}" for row in p.tables.get(table, []) if row]
        if f"{table}-more" in p.texts:
            out.append(f"{word} {p.texts[f'{table}-more']}")
    for name, machines, versions, more in p.programs:
        out.append(f"program {name} {machines}")
        out += [f"version {name} {v} {c} {s}" for v, c, s in versions]
        if more:
            out.append(f"version {name} {more}")
    out += ["change " + "\t".join(row) for row in p.tables.get("list-changes", []) if row]
    if "list-changes-more" in p.texts:
        out.append("change " + p.texts["list-changes-more"])
    if "exposure-advisories" in p.tables:
        out += [f"{i} {p.texts.get(i, '(missing)')}" for i in ("exposure-machines", "exposure-share")]
        for advisory, row in zip(p.row_ids["exposure-advisories"], p.tables["exposure-advisories"]):
            out.append(("advisory " + " ".join([advisory] + [cell.strip() for cell in row[1:6]])).rstrip())
        for k in range(1, LISTED_ADVISORIES + 1):
            table = f"exposed-{k}"
            if table not in p.tables:
                break
            out += [f"exposed {p.table_ids[table]} {m} {since}" for m, since in p.tables[table]]
            more = p.texts.get(f"{table}-more")
            if more:
                out.append(f"exposed {p.table_ids[table]} {more}")
    if "licenses-pools" in p.tables:
        for pool, row in zip(p.row_ids["licenses-pools"], p.tables["licenses-pools"]):
            out.append(" ".join(["pool", pool] + [cell.strip() for cell in row[1:9]]))
        k = 1
        while f"licenses-stale-{k}" in p.tables:
            table = f"licenses-stale-{k}"
            out += [f"stale-holding {p.table_ids[table]} {row[0]}" for row in p.tables[table]]
            if p.texts.get(f"{table}-more"):
                out.append(f"stale-holding {p.table_ids[table]} {p.texts[f'{table}-more']}")
            k += 1
    out += [f"tag {t} {n}" for t, n in sorted(p.tags.items())]
    return out


def expect_licenses(vurfleet, db, now, entitlements, stale):
    """The Licenses section's lines as `licenses` and its --days and
    --machines give them at NOW with --stale STALE."""
    n = lambda v: f"{int(v):,}"
    args = ["licenses", "--entitlements", entitlements, "--at", now, "--stale", stale]
    pools = query(vurfleet, db, *args)
    days = query(vurfleet, db, *args, "--days")
    entries = query(vurfleet, db, *args, "--machines")
    out = []
    for r in pools:
        mine = [d for d in days if d["pool"] == r["pool"]]
        if mine:
            top = max(mine, key=lambda d: int(d["max"]))
            chart = (f"Days {mine[0]['day']} to {mine[-1]['day']}: the highest count {n(top['max'])} on "
                     f"{top['day']}; over the seats ({n(r['seats'])}) on {n(r['days_over'])} of "
                     f"{n(len(mine))} days.")
        else:
            chart = "The period has not begun."
        out.append(" ".join(["pool", r["pool"], r["rule"], n(r["now"]), n(r["peak"]), r["peak_at"],
                             n(r["seats"]), n(r["due"]), n(r["days_over"]), chart]))
    for r in pools:
        stale = sorted({e["machine"] for e in entries if e["pool"] == r["pool"] and e["status"] == "stale"})
        out += [f"stale-holding {r['pool']} {m}" for m in stale[:LISTED_STALE]]
        if len(stale) > LISTED_STALE:
            out.append(f"stale-holding {r['pool']} and {n(len(stale) - LISTED_STALE)} more")
    return out


def query(vurfleet, db, *args):
    text = subprocess.run([vurfleet, "--db", db, *args, "--csv"], check=True,
                          capture_output=True, text=True, encoding="utf-8", errors="strict").stdout
    return list(csv.DictReader(io.StringIO(text, newline="")))


def version_key(text):
    return (1, ()) if text == "<none>" else (0, tuple(-int(x) for x in text.split(".")))


def expect(vurfleet, db, now, top, advisories=None):
    n = lambda v: f"{v:,}"
    share = lambda part, whole: f"{100.0 * part / whole:.1f} %" if whole else "0.0 %"
    top = int(top)
    machines = query(vurfleet, db, "machines", "--now", now)
    status = [m["status"] for m in machines]
    day = now[:10]
    out = [f"title Fleet inventory: {db}, {day}",
           f"machines-total {n(len(machines))}",
           f"machines-ok {n(status.count('ok'))}",
           f"machines-incomplete {n(status.count('incomplete'))}",
           f"machines-stale {n(status.count('stale'))}",
           f"newest-scan {max((m['last_started'] for m in machines), default='none')}"]
    stamp = datetime.strptime(now, "%Y-%m-%d %H:%M:%S") if " " in now else datetime.strptime(now, "%Y-%m-%d")
    since = (stamp - timedelta(days=7)).strftime("%Y-%m-%d %H:%M:%S")
    changes = query(vurfleet, db, "changes", "--since", since, "--until", stamp.strftime("%Y-%m-%d %H:%M:%S"))
    kinds = [c["change"] for c in changes]
    out.append(f"changes-total {n(len(changes))}")
    out += [f"changes-{k} {n(kinds.count(k))}" for k in KINDS]
    for word in ("incomplete", "stale"):
        listed = [m["machine"] for m in machines if m["status"] == word]
        out += [f"{word} {m}" for m in listed[:SHOWN_MACHINES]]
        if len(listed) > SHOWN_MACHINES:
            out.append(f"{word} and {n(len(listed) - SHOWN_MACHINES)} more machines")

    # Which names: counted from every entry of the fleet.
    holders = {}
    for row in query(vurfleet, db, "find"):
        name = row["path"].rsplit("\\", 1)[-1].lower()
        holders.setdefault(name, set()).add(row["machine"])
    names = sorted(holders, key=lambda k: (-len(holders[k]), k))[:top]
    for name in names:
        rows = query(vurfleet, db, "find", "--name", name)
        held = {r["machine"] for r in rows}
        out.append(f"program {name} {n(len(held))}")
        by_version = {}
        for r in rows:
            by_version.setdefault(r["version"], set()).add(r["machine"])
        # The most widespread, of as many machines the newer; the rest's
        # machines counted once each.
        newest = sorted(by_version, key=version_key)
        shown = sorted(newest, key=lambda v: -len(by_version[v]))[:SHOWN_VERSIONS]
        for v in sorted(shown, key=version_key):
            out.append(f"version {name} {v} {n(len(by_version[v]))} {share(len(by_version[v]), len(held))}")
        rest = [v for v in newest if v not in shown]
        if rest:
            holding = set().union(*(by_version[v] for v in rest))
            out.append(f"version {name} and {n(len(rest))} more versions, {n(len(holding))} machines")
    for c in reversed(changes[-NEWEST_CHANGES:]):
        out.append("change " + "\t".join([c["scan"], c["machine"], c["change"], c["path"], c["old"], c["new"]]))
    if len(changes) > NEWEST_CHANGES:
        out.append(f"change and {n(len(changes) - NEWEST_CHANGES)} more changes")
    if advisories:
        summary = query(vurfleet, db, "exposure", "--advisories", advisories, "--summary", "--at", now)
        rows = query(vurfleet, db, "exposure", "--advisories", advisories, "--at", now)
        exposed = [r for r in rows if r["status"] == "exposed"]
        anywhere = {r["machine"] for r in exposed}
        out.append(f"exposure-machines {n(len(anywhere))}")
        out.append(f"exposure-share {share(len(anywhere), len(machines))}")
        for s in summary:
            out.append(" ".join(["advisory", s["id"], s["severity"], n(int(s["exposed"])), n(int(s["unknown"])),
                                 n(int(s["fixed"])), s["median_days"]]).rstrip())
        for s in [s for s in summary if int(s["exposed"]) > 0][:LISTED_ADVISORIES]:
            since = {}
            for r in exposed:
                if r["id"] == s["id"]:
                    since.setdefault(r["machine"], r["since"])
            listed = sorted(since)[:LISTED_MACHINES]
            out += [f"exposed {s['id']} {m} {since[m]}" for m in listed]
            if int(s["exposed"]) > len(listed):
                out.append(f"exposed {s['id']} and {n(int(s['exposed']) - len(listed))} more")
    out += [f"tag {t} 0" for t in sorted(FETCHING)]
    return out


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "page":
        lines = page(sys.argv[2])
    elif len(sys.argv) in (6, 7) and sys.argv[1] == "expect":
        lines = expect(*sys.argv[2:])
    elif len(sys.argv) == 7 and sys.argv[1] == "expect-licenses":
        lines = expect_licenses(*sys.argv[2:])
    else:
        sys.exit(__doc__)
    sys.stdout.write("".join(line + "\n" for line in lines))
