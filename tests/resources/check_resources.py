#!/usr/bin/env python3
"""Check the Windows resources linked into pinfile.exe.

Usage: check_resources.py PINFILE.EXE PINFILE-PENDING.EXE

Reads the resource directory of the PE file itself and fails (exit status 1,
one line per problem) unless the executable carries:
  * icon group "A_MAIN" with exactly one 32x32 image of 16 colours, showing a
    picture: transparent and opaque pixels, some of them green;
  * icon group 1 with exactly the images 32x32 2-colour, 32x32 16-colour and
    16x16 16-colour;
  * manifest 1 (type 24) asking for asInvoker, declaring Windows 7, 8, 8.1
    and 10/11 as supported, and long path awareness;
  * version information naming the product, the program, the company and the
    copyright.
pinfile-pending.exe carries the same, but for icon group 1.
"""

import struct
import sys
import xml.etree.ElementTree as ET

RT_ICON, RT_VERSION, RT_GROUP_ICON, RT_MANIFEST = 3, 16, 14, 24
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10/11",
}


class Problem(Exception):
    pass


def read_resources(path):
    """Return {type: {name: data}}, taking the first language of each resource.

    Numeric types and names are ints, named ones upper-case strings.
    """
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"MZ":
        raise Problem(f"{path} is not a Windows executable")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise Problem(f"{path} has no PE header")
    sections_count, optional_size = struct.unpack_from("<2xH12xH", data, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    rsrc_rva, rsrc_size = struct.unpack_from("<II", data, directories + 2 * 8)
    if not rsrc_size:
        raise Problem(f"{path} has no resources at all")

    sections = []
    for i in range(sections_count):
        header = optional + optional_size + 40 * i
        vsize, va, raw_size, raw_pointer = struct.unpack_from("<IIII", data, header + 8)
        sections.append((va, max(vsize, raw_size), raw_pointer))

    def file_offset(rva):
        for va, size, raw_pointer in sections:
            if va <= rva < va + size:
                return rva - va + raw_pointer
        raise Problem(f"resource address {rva:#x} lies in no section")

    base = file_offset(rsrc_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<12xHH", data, base + directory)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * i)
            if name & 0x80000000:
                at = base + (name & 0x7FFFFFFF)
                length = struct.unpack_from("<H", data, at)[0]
                name = data[at + 2:at + 2 + 2 * length].decode("utf-16-le").upper()
            yield name, target & 0x7FFFFFFF

    resources = {}
    for rtype, names in entries(0):
        for name, languages in entries(names):
            _, leaf = next(entries(languages))
            rva, size = struct.unpack_from("<II", data, base + leaf)
            start = file_offset(rva)
            resources.setdefault(rtype, {})[name] = data[start:start + size]
    return resources


def icon_group(resources, name):
    """Return the images of an icon group as [(width, height, bits, data)]."""
    group = resources.get(RT_GROUP_ICON, {}).get(name)
    if group is None:
        raise Problem(f"icon group {name!r} is missing")
    _, kind, count = struct.unpack_from("<HHH", group)
    images = []
    for i in range(count):
        width, height, colours, _, planes, bits, _, icon_id = struct.unpack_from(
            "<BBBBHHIH", group, 6 + 14 * i)
        data = resources.get(RT_ICON, {}).get(icon_id)
        what = f"icon group {name!r}, image {i + 1} ({width}x{height}, {bits} bpp)"
        if data is None:
            raise Problem(f"{what}: icon {icon_id} is missing")
        if colours != (1 << bits if bits < 8 else 0) or planes != 1:
            raise Problem(f"{what}: the group says {colours} colours and {planes} planes")
        size, dib_width, dib_height, _, dib_bits = struct.unpack_from("<IiiHH", data)
        if (size, dib_width, dib_height, dib_bits) != (40, width, 2 * height, bits):
            raise Problem(f"{what}: the bitmap header says {dib_width}x{dib_height // 2}, "
                          f"{dib_bits} bpp")
        images.append((width, height, bits, data))
    return images


def pixels(width, height, bits, data):
    """Decode an uncompressed icon image to rows of (r, g, b), None if transparent."""
    colours = struct.unpack_from("<I", data, 32)[0] or 1 << bits
    palette = [tuple(data[40 + 4 * i:43 + 4 * i][::-1]) for i in range(colours)]
    stride, mask_stride = (width * bits + 31) // 32 * 4, (width + 31) // 32 * 4
    xor = 40 + 4 * colours
    mask = xor + stride * height
    rows = []
    for y in range(height - 1, -1, -1):  # stored bottom-up
        row = []
        for x in range(width):
            if data[mask + y * mask_stride + x // 8] >> (7 - x % 8) & 1:
                row.append(None)
                continue
            bit = x * bits
            byte = data[xor + y * stride + bit // 8]
            row.append(palette[byte >> (8 - bits - bit % 8) & ((1 << bits) - 1)])
        rows.append(row)
    return rows


def check_sizes(images, name, expected):
    found = sorted((w, h, b) for w, h, b, _ in images)
    if found != sorted(expected):
        show = lambda sizes: ", ".join(f"{w}x{h} {b} bpp" for w, h, b in sizes) or "none"
        raise Problem(f"icon group {name!r} has {show(found)}; expected {show(expected)}")


def check_main_icon(resources):
    images = icon_group(resources, "A_MAIN")
    check_sizes(images, "A_MAIN", [(32, 32, 4)])
    flat = [p for row in pixels(*images[0]) for p in row]
    opaque = [p for p in flat if p is not None]
    green = [p for p in opaque if p[1] >= 0x80 and p[1] > p[0] + 0x40 and p[1] > p[2] + 0x40]
    if len(opaque) == len(flat) or not opaque or not green:
        raise Problem(f"icon 'A_MAIN' looks empty: {len(flat) - len(opaque)} transparent, "
                      f"{len(opaque)} opaque, {len(green)} green pixels")


def check_window_icon(resources):
    check_sizes(icon_group(resources, 1), 1, [(32, 32, 1), (32, 32, 4), (16, 16, 4)])


def check_manifest(resources):
    manifests = resources.get(RT_MANIFEST, {})
    if 1 not in manifests:
        raise Problem(f"manifest 1 (type 24) is missing; found {list(manifests) or 'none'}")
    try:
        root = ET.fromstring(manifests[1])
    except ET.ParseError as e:
        raise Problem(f"the manifest is not valid XML: {e}")
    local = lambda element: element.tag.rpartition("}")[2]
    levels = [(e.get("level"), e.get("uiAccess", "false"))
              for e in root.iter() if local(e) == "requestedExecutionLevel"]
    problems = []
    if levels != [("asInvoker", "false")]:
        problems.append(f"the manifest requests (level, uiAccess) {levels}, "
                        "not asInvoker without uiAccess")
    declared = {e.get("Id", "").lower() for e in root.iter() if local(e) == "supportedOS"}
    missing = [system for guid, system in SUPPORTED_OS.items() if guid not in declared]
    if missing:
        problems.append(f"the manifest does not declare support for {', '.join(missing)}")
    aware = [e.text for e in root.iter() if local(e) == "longPathAware"]
    if aware != ["true"]:
        problems.append(f"the manifest declares longPathAware {aware}, not true")
    return problems


def check_version(resources, program):
    """The version strings, read as the key, NUL and padding, then the value in UTF-16."""
    data = resources.get(RT_VERSION, {}).get(1)
    if data is None:
        return ["version information 1 (type 16) is missing"]
    text = data.decode("utf-16-le", "replace")
    problems = []
    for key, wanted in [("ProductName", "pinfile"), ("InternalName", program),
                        ("OriginalFilename", program + ".exe"), ("CompanyName", None),
                        ("LegalCopyright", None), ("FileDescription", None)]:
        at = text.find(key + "\0")
        value = text[at + len(key):].lstrip("\0").split("\0", 1)[0] if at >= 0 else ""
        if not value or (wanted is not None and value != wanted):
            problems.append(f"the version information gives {key} {value!r}")
    return problems


def problems_of(path, program):
    try:
        resources = read_resources(path)
    except (Problem, OSError, struct.error) as e:
        return [str(e)]
    checks = [check_main_icon, check_manifest, lambda r: check_version(r, program)]
    if program == "pinfile":
        checks.insert(1, check_window_icon)
    problems = []
    for check in checks:
        try:
            problems.extend(check(resources) or ())
        except (Problem, struct.error) as e:
            problems.append(str(e))
    return [f"{path}: {problem}" for problem in problems]


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    problems = problems_of(argv[1], "pinfile") + problems_of(argv[2], "pinfile-pending")
    for problem in problems:
        print(f"check_resources: {problem}", file=sys.stderr)
    if problems:
        sys.exit(1)
    print("check_resources: both programs carry the icon, the manifest and the version information")


if __name__ == "__main__":
    main(sys.argv)
