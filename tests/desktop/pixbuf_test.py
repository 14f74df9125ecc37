#!/usr/bin/python3
"""The installed gdk-pixbuf loader inside gdk-pixbuf itself, through
python3-gi, and the installed thumbnailer entry.

    pixbuf_test.py PICTURES REFERENCES THUMBNAILER WORK

PICTURES holds the test pictures (*.pxc), REFERENCES the BMPs that
`pxc decode` wrote for them, THUMBNAILER is the installed entry and WORK a
scratch folder. GDK_PIXBUF_MODULE_FILE and XDG_DATA_DIRS must name the
installed loader and MIME database (gdk-pixbuf picks loaders by MIME type).
"""
import os
import shlex
import subprocess
import sys
import unittest

import gi

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio, GLib  # noqa: E402

from reference import read_bmp  # noqa: E402

PICTURES, REFERENCES, THUMBNAILER, WORK = sys.argv[1:5]
SAMPLE = "chelsea.pxc"


def packed_rgb(pixbuf):
    """The pixbuf's pixels as packed RGB rows (alpha, if any, left out)."""
    width, height, stride = pixbuf.get_width(), pixbuf.get_height(), pixbuf.get_rowstride()
    n = pixbuf.get_n_channels()
    data = pixbuf.read_pixel_bytes().get_data()
    out = bytearray()
    for y in range(height):
        row = data[y * stride:y * stride + n * width]
        out += row if n == 3 else bytes(b for i, b in enumerate(row) if i % n < 3)
    return bytes(out)


def header(width, height):
    return (b"PXCM" + (0x10000).to_bytes(4, "little") + bytes(4) + width.to_bytes(2, "little") +
            height.to_bytes(2, "little") + (24).to_bytes(4, "little") + bytes(4))


def write(name, data):
    path = os.path.join(WORK, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def pictures():
    return sorted(n for n in os.listdir(PICTURES) if n.endswith(".pxc"))


def reference(name):
    return read_bmp(os.path.join(REFERENCES, name[:-4] + ".bmp"))


class Pixbuf(unittest.TestCase):
    def expect_picture(self, pixbuf, name):
        width, height, rgb = reference(name)
        self.assertEqual((pixbuf.get_width(), pixbuf.get_height()), (width, height), name)
        self.assertEqual(pixbuf.get_n_channels(), 3, name)
        self.assertFalse(pixbuf.get_has_alpha(), name)
        self.assertEqual(pixbuf.get_bits_per_sample(), 8, name)
        self.assertTrue(packed_rgb(pixbuf) == rgb, name + ": the pixels differ from pxc's")

    def test_format_is_registered(self):
        formats = [f for f in GdkPixbuf.Pixbuf.get_formats() if f.get_name() == "pxcm"]
        self.assertEqual(len(formats), 1)
        f = formats[0]
        self.assertEqual(f.get_mime_types(), ["image/x-pxcm"])
        self.assertEqual(f.get_extensions(), ["pxc"])
        self.assertFalse(f.is_writable())
        self.assertFalse(f.is_disabled())

    def test_new_from_file_gives_pxcs_pixels(self):
        names = pictures()
        self.assertGreaterEqual(len(names), 10)
        for name in names:
            self.expect_picture(GdkPixbuf.Pixbuf.new_from_file(os.path.join(PICTURES, name)), name)
        # Found by the glob in any case, and by the magic alone.
        with open(os.path.join(PICTURES, SAMPLE), "rb") as f:
            data = f.read()
        for other in ("CHELSEA.PXC", "chelsea.dat"):
            self.expect_picture(GdkPixbuf.Pixbuf.new_from_file(write(other, data)), SAMPLE)

    def test_file_info_and_scaled_loads(self):
        path = os.path.join(PICTURES, SAMPLE)
        width, height, _ = reference(SAMPLE)
        info = GdkPixbuf.Pixbuf.get_file_info(path)
        self.assertEqual((info[0].get_name(), info.width, info.height), ("pxcm", width, height))
        small = GdkPixbuf.Pixbuf.new_from_file_at_size(path, 64, 64)
        self.assertEqual(small.get_width(), 64)
        self.assertAlmostEqual(small.get_height(), height * 64 / width, delta=1)
        stretched = GdkPixbuf.Pixbuf.new_from_file_at_scale(path, 30, 20, False)
        self.assertEqual((stretched.get_width(), stretched.get_height()), (30, 20))

    def test_loader_in_chunks(self):
        for name in pictures():
            with open(os.path.join(PICTURES, name), "rb") as f:
                data = f.read()
            width, height, _ = reference(name)
            # Without a type the loader first gathers some kilobytes to
            # guess it from; with one, the module sees every write.
            for loader, typed in ((GdkPixbuf.PixbufLoader(), False),
                                  (GdkPixbuf.PixbufLoader.new_with_type("pxcm"), True),
                                  (GdkPixbuf.PixbufLoader.new_with_mime_type("image/x-pxcm"), True)):
                fed, sizes, prepared = [0], [], []
                loader.connect("size-prepared", lambda _l, w, h: sizes.append((w, h, fed[0])))
                loader.connect("area-prepared", lambda _l: prepared.append(fed[0]))
                for at in range(0, len(data), 1000):
                    fed[0] += len(data[at:at + 1000])
                    loader.write(data[at:at + 1000])
                # The size is said as soon as the module has the header; the
                # pixels come when the data ends.
                if typed:
                    self.assertEqual(sizes, [(width, height, min(1000, len(data)))], name)
                self.assertEqual(prepared, [], name)
                loader.close()
                self.assertEqual([s[:2] for s in sizes], [(width, height)], name)
                self.assertEqual(prepared, [len(data)], name)
                self.expect_picture(loader.get_pixbuf(), name)
                self.assertEqual(loader.get_format().get_name(), "pxcm")

    def test_damaged_files_give_errors(self):
        with open(os.path.join(PICTURES, SAMPLE), "rb") as f:
            data = f.read()
        damaged = bytearray(data)
        damaged[24:40] = b"\xff" * 16
        E = GdkPixbuf.PixbufError
        cases = [
            ("text.pxc", b"These lines are no picture of any kind.\n", E.UNKNOWN_TYPE, "Not a PXCM picture"),
            ("header-only.pxc", data[:20], E.CORRUPT_IMAGE, "ends inside the header"),
            ("cut-early.pxc", data[:len(data) // 2], E.CORRUPT_IMAGE, "PXCM picture"),
            ("stream.pxc", bytes(damaged), E.CORRUPT_IMAGE, "damaged picture data"),
            ("huge.pxc", header(65535, 65535) + bytes(6), E.INSUFFICIENT_MEMORY, "65535 x 65535"),
            ("empty-rows.pxc", header(451, 0), E.CORRUPT_IMAGE, "without pixels"),
        ]
        for name, content, code, words in cases:
            path = write(name, content)
            with self.assertRaises(GLib.Error, msg=name) as caught:
                GdkPixbuf.Pixbuf.new_from_file(path)
            e = caught.exception
            self.assertEqual((e.domain, e.code), ("gdk-pixbuf-error-quark", int(code)), name + ": " + e.message)
            self.assertIn(words, e.message, name)
            # The same through the loader, which fails at close at the latest.
            loader = GdkPixbuf.PixbufLoader.new_with_type("pxcm")
            with self.assertRaises(GLib.Error, msg=name) as caught:
                loader.write(content)
                loader.close()
            self.assertIn(words, caught.exception.message, name)

    def test_thumbnailer_entry_makes_a_thumbnail(self):
        entry = GLib.KeyFile()
        entry.load_from_file(THUMBNAILER, GLib.KeyFileFlags.NONE)
        group = "Thumbnailer Entry"
        self.assertIn("image/x-pxcm", entry.get_string_list(group, "MimeType"))
        source = os.path.join(PICTURES, SAMPLE)
        out = os.path.join(WORK, "thumbnail.png")
        # The Exec line as a file manager runs it: %s size, %u URI, %o output.
        fields = {"%s": "128", "%u": Gio.File.new_for_path(source).get_uri(), "%o": out}
        command = [fields.get(word, word) for word in shlex.split(entry.get_string(group, "Exec"))]
        subprocess.run(command, check=True, timeout=60)
        thumbnail = GdkPixbuf.Pixbuf.new_from_file(out)
        self.assertEqual(GdkPixbuf.Pixbuf.get_file_info(out)[0].get_name(), "png")
        width, height, rgb = reference(SAMPLE)
        self.assertEqual(thumbnail.get_width(), 128)
        self.assertAlmostEqual(thumbnail.get_height(), height * 128 / width, delta=1)
        # The picture, scaled: against pxc's pixels scaled the same way.
        scaled = GdkPixbuf.Pixbuf.new_from_bytes(GLib.Bytes.new(rgb), GdkPixbuf.Colorspace.RGB, False, 8,
                                                 width, height, 3 * width).scale_simple(
            thumbnail.get_width(), thumbnail.get_height(), GdkPixbuf.InterpType.BILINEAR)
        got, want = packed_rgb(thumbnail), packed_rgb(scaled)
        difference = sum(abs(a - b) for a, b in zip(got, want)) / len(want)
        self.assertLess(difference, 2.0, "mean difference per channel")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
