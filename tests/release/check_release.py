"""Checks a release zip of the plug-in, as whoever installs it would want it.

    check_release.py ZIP

The zip is N2VelmEn-<version>-<commit>.zip and holds exactly N2VelmEn.dll,
N2VelmEn-Guide-ja.txt, N2VelmEn-Guide-en.txt and SHA256SUMS, side by side.
SHA256SUMS names every other file once with its right SHA-256. The DLL is a
32-bit PE library that imports only DLLs Windows ships, exports the host's
fifteen callbacks, carries the version resource of the zip's version, no time
stamp and no folder of the machine that built it. The guides are not empty
and are text Notepad shows as it is: CR LF line ends, the Japanese one UTF-8
with a byte-order mark, the English one ASCII.

Prints "ok" or every fault found; exits with 0 only when none was.
"""
import hashlib
import io
import os
import re
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "plugin"))
import check_imports  # noqa: E402

import pefile  # noqa: E402

DLL = "N2VelmEn.dll"
GUIDE_JA = "N2VelmEn-Guide-ja.txt"
GUIDE_EN = "N2VelmEn-Guide-en.txt"
SUMS = "SHA256SUMS"
CALLBACKS = {
    "NVC_OnStart", "NVC_OnExit", "NVC_OnMenuInit", "NVC_OnOpenFolder", "NVC_OnOpenMail", "NVC_OnEveryMinute",
    "NVC_OnOpenCompose", "NVC_OnOutgoing", "NVC_OnKeyDispatch", "NVC_OnRetrieve", "NVC_OnSend",
    "NVC_OnFinishRetrieve", "NVC_OnPlugInSetup", "NVC_OnPlugInInfo", "NVC_OnDragDrop",
}
VERSION_STRINGS = {
    "CompanyName": "Orvasso, Inc.",
    "FileDescription": "Norvel2! plug-in Velmora Ver2.10",
    "ProductName": "Norvel2! plug-in Velmora Ver2.10",
}
# Folders of a build machine that a DLL built from a clone could carry.
BUILD_PATHS = (b"/tmp/", b"/work/", b"/home/", b"/root/", b"/build/", b"/usr/", b"/opt/")


def check_sums(files, faults):
    text = files[SUMS].decode("ascii", "replace")
    if "\n" in text.replace("\r\n", ""):
        faults.append(f"{SUMS}: lines must end with CR LF")
    named = {}
    for line in text.splitlines():
        match = re.fullmatch(r"([0-9a-f]{64})  (\S+)", line)
        if not match:
            faults.append(f"{SUMS}: not a sum line: {line!r}")
            continue
        digest, name = match.groups()
        if name in named:
            faults.append(f"{SUMS}: {name} named twice")
        named[name] = digest
    for name in sorted(set(files) - {SUMS}):
        if name not in named:
            faults.append(f"{SUMS}: no sum for {name}")
        elif hashlib.sha256(files[name]).hexdigest() != named[name]:
            faults.append(f"{SUMS}: the sum of {name} does not match")
    for name in sorted(set(named) - set(files)):
        faults.append(f"{SUMS}: names {name}, which the zip does not hold")


def version_resource(pe):
    """(file version, product version, strings of the 0411/932 table, translations)."""
    fixed = pe.VS_FIXEDFILEINFO[0]

    def dotted(ms, ls):
        return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"

    strings, translations = None, []
    for info in pe.FileInfo[0] if hasattr(pe, "FileInfo") else []:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                if table.LangID.upper() == b"041103A4":
                    strings = {k.decode("cp932"): v.decode("cp932") for k, v in table.entries.items()}
        elif info.Key == b"VarFileInfo":
            for var in info.Var:
                translations.append(var.entry.get(b"Translation"))
    return (dotted(fixed.FileVersionMS, fixed.FileVersionLS), dotted(fixed.ProductVersionMS, fixed.ProductVersionLS),
            strings, translations)


def check_dll(data, version, faults):
    try:
        pe = pefile.PE(data=data)
    except pefile.PEFormatError as error:
        faults.append(f"{DLL}: not a PE image: {error}")
        return
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        faults.append(f"{DLL}: not a 32-bit x86 image")
    if not pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"]:
        faults.append(f"{DLL}: not a DLL")
    if pe.FILE_HEADER.TimeDateStamp != 0:
        faults.append(f"{DLL}: the PE header holds a time stamp (0x{pe.FILE_HEADER.TimeDateStamp:08x})")

    pe.parse_data_directories()
    imports = []
    for attribute in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        imports += [e.dll.decode("ascii", "replace") for e in getattr(pe, attribute, [])]
    foreign = [n for n in imports if n.lower() not in check_imports.SYSTEM_DLLS]
    if foreign:
        faults.append(f"{DLL}: imports DLLs a user's Windows does not have: {', '.join(foreign)}")
    exports = set()
    if hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        exports = {s.name.decode("ascii") for s in pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name}
    if CALLBACKS - exports:
        faults.append(f"{DLL}: does not export {', '.join(sorted(CALLBACKS - exports))}")

    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        faults.append(f"{DLL}: no version resource")
    else:
        file_version, product_version, strings, translations = version_resource(pe)
        if file_version != version or product_version != version:
            faults.append(f"{DLL}: version resource says {file_version} / {product_version}, the zip's name {version}")
        if strings is None:
            faults.append(f"{DLL}: version resource has no Japanese (0411, code page 932) string table")
        else:
            wanted = dict(VERSION_STRINGS, FileVersion=version, ProductVersion=version)
            for key, value in wanted.items():
                if strings.get(key) != value:
                    faults.append(f"{DLL}: version resource's {key} is {strings.get(key)!r}, not {value!r}")
        if "0x0411 0x03a4" not in translations:
            faults.append(f"{DLL}: version resource's translation is {translations}, not 0411 / 932")

    for path in BUILD_PATHS:
        if path in data:
            faults.append(f"{DLL}: holds a build machine's folder ({path.decode()}...)")
    debug = [s.Name.rstrip(b"\0").decode("ascii", "replace") for s in pe.sections if s.Name.startswith(b".debug")]
    if debug:
        faults.append(f"{DLL}: carries debug information ({', '.join(debug)})")


def check_guide(name, data, faults):
    if name == GUIDE_JA:
        if not data.startswith(b"\xef\xbb\xbf"):
            faults.append(f"{name}: no UTF-8 byte-order mark (Notepad of Windows 7 would read it as ANSI)")
        try:
            text = data.decode("utf-8-sig")
        except UnicodeDecodeError as error:
            faults.append(f"{name}: not UTF-8: {error}")
            return
        if not re.search("[\u3040-\u30ff\u4e00-\u9fff]", text):
            faults.append(f"{name}: holds no Japanese text")
    else:
        if any(b > 0x7E and b not in b"\r\n" for b in data):
            faults.append(f"{name}: not ASCII")
        text = data.decode("ascii", "replace")
    if len(text.strip()) < 2000:
        faults.append(f"{name}: empty or nearly so ({len(text.strip())} characters)")
    if re.search("\r(?!\n)|(?<!\r)\n", text):
        faults.append(f"{name}: line ends other than CR LF")


def check_zip(path):
    """The faults of the release zip at path; an empty list when it is sound."""
    faults = []
    match = re.fullmatch(r"N2VelmEn-(\d+\.\d+\.\d+\.\d+)-([0-9a-f]{7,40}|unknown)\.zip", os.path.basename(path))
    if not match:
        faults.append(f"{os.path.basename(path)}: not named N2VelmEn-<version>-<commit>.zip")
        version = None
    else:
        version = match.group(1)
    try:
        with open(path, "rb") as f:
            raw = f.read()
        with zipfile.ZipFile(io.BytesIO(raw)) as z:
            broken = z.testzip()
            if broken:
                return faults + [f"{broken}: damaged in the zip"]
            files = {info.filename: z.read(info) for info in z.infolist()}
    except (OSError, zipfile.BadZipFile) as error:
        return faults + [f"cannot read the zip: {error}"]
    expected = {DLL, GUIDE_JA, GUIDE_EN, SUMS}
    for name in sorted(set(files) - expected):
        faults.append(f"{name}: not expected in the zip")
    for name in sorted(expected - set(files)):
        faults.append(f"{name}: missing from the zip")
    if SUMS in files:
        check_sums(files, faults)
    if DLL in files and version:
        check_dll(files[DLL], version, faults)
    for name in (GUIDE_JA, GUIDE_EN):
        if name in files:
            check_guide(name, files[name], faults)
    return faults


def main(paths):
    if len(paths) != 1:
        print("usage: check_release.py ZIP", file=sys.stderr)
        return 2
    faults = check_zip(paths[0])
    for fault in faults:
        print(f"{paths[0]}: {fault}")
    if not faults:
        print(f"{paths[0]}: ok")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
