"""The pixels pxc decodes, read back from the 24-bit BMP it writes."""


def read_bmp(path):
    """A 24-bit BMP as (width, height, packed top-down RGB rows)."""
    with open(path, "rb") as f:
        b = f.read()
    offset = int.from_bytes(b[10:14], "little")
    width = int.from_bytes(b[18:22], "little", signed=True)
    height = int.from_bytes(b[22:26], "little", signed=True)
    assert b[:2] == b"BM" and int.from_bytes(b[28:30], "little") == 24, path
    rows, stride = abs(height), (3 * width + 3) // 4 * 4
    out = bytearray()
    for y in range(rows):
        at = offset + (rows - 1 - y if height > 0 else y) * stride
        bgr = b[at:at + 3 * width]
        rgb = bytearray(3 * width)
        rgb[0::3], rgb[1::3], rgb[2::3] = bgr[2::3], bgr[1::3], bgr[0::3]
        out += rgb
    return width, rows, bytes(out)
