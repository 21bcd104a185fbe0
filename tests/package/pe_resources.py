#!/usr/bin/python3
"""Checks the resources of the Windows program with pefile, a reader of our
own neither build uses.

    pe_resources.py version EXE VERSION    the version resource
    pe_resources.py manifest EXE           the application manifest

Prints one line per problem found; prints nothing and exits 0 when there is
none.
"""
import sys
import xml.etree.ElementTree as ET

import pefile

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

RT_VERSION = 16
RT_MANIFEST = 24
ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPAT = "urn:schemas-microsoft-com:compatibility.v1"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}


def resource_ids(pe):
    """{type id: [(name id, language), ...]} of the resource directory."""
    found = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in entry.directory.entries:
            for lang in name.directory.entries:
                found.setdefault(entry.id, []).append((name.id, lang.id))
    return found


def check_version(pe, version):
    problems = []
    numbers = [int(part) for part in version.split(".")]
    if resource_ids(pe).get(RT_VERSION) != [(1, 0x409)]:
        problems.append("resources of type RT_VERSION: %s, wanted one, id 1, U.S. English"
                        % resource_ids(pe).get(RT_VERSION))
    fixed = pe.VS_FIXEDFILEINFO[0] if getattr(pe, "VS_FIXEDFILEINFO", None) else None
    if fixed is None:
        return problems + ["no VS_FIXEDFILEINFO"]
    for field in ("FileVersion", "ProductVersion"):
        ms, ls = getattr(fixed, field + "MS"), getattr(fixed, field + "LS")
        got = [ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF]
        if got != numbers:
            problems.append("%s is %s, wanted %s" % (field, got, numbers))
    strings, translations = {}, []
    for info in getattr(pe, "FileInfo", [[]])[0]:
        for table in getattr(info, "StringTable", []):
            strings[table.LangID.decode()] = {k.decode(): v.decode() for k, v in table.entries.items()}
        for var in getattr(info, "Var", []):
            translations.append(var.entry.get(b"Translation"))
    wanted = {
        "FileDescription": "VURScanner",
        "ProductName": "QIM VUR",
        "FileVersion": version,
        "ProductVersion": version,
        "OriginalFilename": "VURScanner.exe",
        "InternalName": "VURScanner",
    }
    table = strings.get("040904B0") or strings.get("040904b0")
    if table is None:
        problems.append("no StringFileInfo block 040904B0 (U.S. English, Unicode): %s" % list(strings))
    else:
        for key, value in wanted.items():
            if table.get(key) != value:
                problems.append("StringFileInfo %s is %r, wanted %r" % (key, table.get(key), value))
    if translations != ["0x0409 0x04b0"]:
        problems.append("Translation entries %s, wanted one, 0x0409 0x04b0" % translations)
    return problems


def check_manifest(pe):
    problems = []
    ids = resource_ids(pe).get(RT_MANIFEST, [])
    if [name for name, _ in ids] != [1]:
        return ["manifests %s, wanted one with id 1 (CREATEPROCESS_MANIFEST_RESOURCE_ID)" % ids]
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id == RT_MANIFEST:
            data_entry = entry.directory.entries[0].directory.entries[0].data.struct
            text = pe.get_data(data_entry.OffsetToData, data_entry.Size)
    try:
        root = ET.fromstring(text)
    except ET.ParseError as error:
        return ["manifest is not well-formed XML: %s" % error]
    if root.tag != "{%s}assembly" % ASM_V1 or root.get("manifestVersion") != "1.0":
        problems.append("root element %s manifestVersion %s" % (root.tag, root.get("manifestVersion")))
    levels = root.findall(".//{%s}requestedExecutionLevel" % ASM_V3)
    if [(e.get("level"), e.get("uiAccess")) for e in levels] != [("asInvoker", "false")]:
        problems.append("requestedExecutionLevel %s, wanted one, asInvoker, uiAccess false"
                        % [e.attrib for e in levels])
    oses = [e.get("Id", "").lower() for e in root.findall(".//{%s}supportedOS" % COMPAT)]
    if sorted(oses) != sorted(SUPPORTED_OS):
        problems.append("supportedOS %s, wanted %s" % (oses, list(SUPPORTED_OS.values())))
    for element in root.iter():
        local = element.tag.rsplit("}", 1)[-1]
        if local in ("longPathAware", "activeCodePage", "dpiAware", "dpiAwareness", "heapType"):
            problems.append("manifest sets %s, which changes the program's behaviour" % local)
    return problems


def main(argv):
    if len(argv) == 4 and argv[1] == "version":
        problems = check_version(pefile.PE(argv[2]), argv[3])
    elif len(argv) == 3 and argv[1] == "manifest":
        problems = check_manifest(pefile.PE(argv[2]))
    else:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
