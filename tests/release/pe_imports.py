"""The functions a PE file imports, by DLL: its import table, and the delay-load
descriptors, which GNU ld does not list in the delay-import directory entry, so they are
found by their shape."""
import struct


class Image:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
        count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        self.pe32_plus = struct.unpack_from("<H", data, optional)[0] == 0x20B
        directories = optional + (112 if self.pe32_plus else 96)
        self.imports_rva = struct.unpack_from("<I", data, directories + 8)[0]
        self.sections = [struct.unpack_from("<8xIIII", data, optional + optional_size + 40 * i)
                         for i in range(count)]  # virtual size, rva, raw size, raw offset

    def offset(self, rva):
        for size, start, raw_size, raw in self.sections:
            if start <= rva < start + max(size, raw_size) and rva - start < raw_size:
                return raw + rva - start
        return None

    def text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def names(self, table_rva):
        width, ordinal_bit = (8, 1 << 63) if self.pe32_plus else (4, 1 << 31)
        names, at = [], self.offset(table_rva)
        while True:
            entry = int.from_bytes(self.data[at:at + width], "little")
            if entry == 0:
                return names
            names.append(f"#{entry & 0xFFFF}" if entry & ordinal_bit else self.text(entry + 2))
            at += width


def imports(path):
    """({dll: [function, ...]} of the import table, {dll: [function, ...]} delay-loaded)."""
    image = Image(open(path, "rb").read())
    static, at = {}, image.offset(image.imports_rva)
    while True:
        lookup, _, _, name, first = struct.unpack_from("<5I", image.data, at)
        if name == 0:
            break
        static[image.text(name).lower()] = image.names(lookup or first)
        at += 20
    delayed = {}
    for size, start, raw_size, raw in image.sections:
        for at in range(raw, raw + min(size, raw_size) - 31, 4):
            attributes, name, module, table, lookup = struct.unpack_from("<5I", image.data, at)
            if attributes != 1 or not all(image.offset(rva) for rva in (name, module, table, lookup)):
                continue
            try:
                dll = image.text(name)
            except (UnicodeDecodeError, ValueError):
                continue
            if dll.lower().endswith(".dll"):
                delayed[dll.lower()] = image.names(lookup)
    return static, delayed
