"""The report's pictures: pixel comparison, the four modes side by side, and the compare sheet
of the frames that differ between reports with a difference image. Labels are set in DejaVu
Sans (fonts-dejavu-core), large enough to read at the README's width."""

from PIL import Image, ImageChops, ImageDraw, ImageFont

FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
GAP, BACKGROUND, NO_FRAME = 12, (255, 255, 255), (90, 90, 90)


def font(size, bold=False):
    return ImageFont.truetype(BOLD if bold else FONT, size)


def difference(a, b):
    """None when the two frames are identical pixel for pixel; otherwise the number of pixels
    that differ and the first of them, top row first: (count, (x, y), colour in a, colour in b)."""
    if a.size != b.size:
        return (max(a.size[0] * a.size[1], b.size[0] * b.size[1]), (0, 0),
                "%dx%d" % a.size, "%dx%d" % b.size)
    a, b = a.convert("RGBA"), b.convert("RGBA")
    pa, pb = a.tobytes(), b.tobytes()
    if pa == pb:
        return None
    differing = [i for i in range(0, len(pa), 4) if pa[i:i + 4] != pb[i:i + 4]]
    first = differing[0] // 4
    xy = (first % a.size[0], first // a.size[0])
    return len(differing), xy, a.getpixel(xy), b.getpixel(xy)


def difference_image(a, b, size):
    """Where two frames differ: grey where equal, red scaled by how much they differ (any
    difference at least half bright, so one step of 1/255 shows)."""
    if a is None or b is None or a.size != b.size:
        return None
    delta = ImageChops.difference(a.convert("RGB"), b.convert("RGB")).convert("L")
    mask = delta.point(lambda v: 0 if v == 0 else min(255, 128 + v))
    picture = Image.new("RGB", a.size, (48, 48, 48))
    picture.paste(Image.new("RGB", a.size, (255, 40, 40)), mask=mask)
    return picture.resize(size, Image.NEAREST)


def panel(frame, size, note):
    """A frame scaled to size, or a dark panel saying why there is none."""
    if frame is not None:
        return frame.convert("RGB").resize(size)
    tile = Image.new("RGB", size, NO_FRAME)
    ImageDraw.Draw(tile).multiline_text((8, 8), wrap(note, 24), fill="white", font=font(14))
    return tile


def wrap(text, width):
    lines, line = [], ""
    for word in text.split():
        if line and len(line) + 1 + len(word) > width:
            lines.append(line)
            line = word
        else:
            line = (line + " " + word).strip()
    return "\n".join(lines + [line])


def sheet(rows, columns, size, title_height=0, title=None):
    """rows: (row label, [(caption, image)]) laid out in a grid of `columns`, panels of `size`
    separated by white gaps, each captioned above."""
    label_h = 26 if any(label for label, _ in rows) else 0
    rows = [(label, [(wrap(caption, size[0] // 8), image) for caption, image in panels])
            for label, panels in rows]
    heights = [6 + 17 * max(caption.count("\n") + 1 for caption, _ in panels)
               for _, panels in rows]
    width = GAP + columns * (size[0] + GAP)
    height = title_height + sum(label_h + h + size[1] + GAP for h in heights) + GAP
    picture = Image.new("RGB", (width, height), BACKGROUND)
    draw = ImageDraw.Draw(picture)
    if title:
        draw.text((GAP, 8), title, fill="black", font=font(18, bold=True))
    y = title_height + GAP
    for (label, panels), caption_h in zip(rows, heights):
        if label_h:
            draw.text((GAP, y), label, fill="black", font=font(16, bold=True))
        y += label_h
        for i, (caption, image) in enumerate(panels):
            x = GAP + i * (size[0] + GAP)
            draw.multiline_text((x, y), caption, fill="black", font=font(13), spacing=4)
            picture.paste(image, (x, y + caption_h))
            draw.rectangle([x - 1, y + caption_h - 1, x + size[0], y + caption_h + size[1]],
                           outline=(160, 160, 160))
        y += caption_h + size[1] + GAP
    return picture


def modes_sheet(report, frames, path):
    """The four first frames side by side, each captioned with its status and picture verdict."""
    size = (200, 150)
    panels = [("%s %s: %s\n%s" % (m["menu"], m["name"], m["status"], m["picture"][:40]),
               panel(frames[m["menu"]], size, m["ending"]["text"])) for m in report["modes"]]
    sheet([("", panels)], 4, size).save(path)


def compare_sheet(labels, rows, path):
    """rows: (mode title, [frame or None per report], [note per report], reference index):
    each report's frame, then one difference image per frame unlike the reference's."""
    size = (160, 120)
    laid = []
    for title, frames, notes, reference in rows:
        panels = [(labels[i], panel(f, size, notes[i])) for i, f in enumerate(frames)]
        for i, f in enumerate(frames):
            diff = difference_image(frames[reference], f, size)
            if i != reference and diff is not None and difference(frames[reference], f):
                panels.append(("difference: %s vs %s" % (labels[i], labels[reference]), diff))
        laid.append((title, panels))
    columns = max(len(p) for _, p in laid)
    if columns > 5:  # keep it readable at the README's width: wrap long rows
        laid = [(t if k == 0 else "", p[k:k + 5]) for t, p in laid for k in range(0, len(p), 5)]
        columns = 5
    sheet(laid, columns, size, title_height=34,
          title="Frames that differ (red: pixels unlike the reference)").save(path)

