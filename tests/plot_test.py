#!/usr/bin/env python3
"""The picture of vorik-check --plot, read as a reader reads it.

  plot_test.py picture VORIK_CHECK WORK_DIR
      Runs vorik-check --plot on pairs written here, parses each picture
      with a real XML parser, reads its axes from the tick labels and holds
      every step of each channel's lines against a plain model of each
      second. A ten-hour pair gives a picture under 1 MB that still shows
      its one-second dip.
  plot_test.py render PICTURE WORK_DIR
      Renders the picture in headless chromium and checks that the PNG is
      not blank and shows each channel's colour; skipped where chromium
      or Pillow (Debian: chromium, python3-pil) is missing.
"""
import array
import math
import os
import random
import shutil
import subprocess
import sys
import tempfile
import wave
import xml.etree.ElementTree as ElementTree

SVG = "{http://www.w3.org/2000/svg}"
PEAK = 65535
IDENTICAL_DB = 333.0
PIXEL = 1.0
MOST_BYTES = 1_000_000


def write_wav(path, rate, channels, samples):
    data = array.array("h", samples)
    if sys.byteorder == "big":
        data.byteswap()
    with wave.open(path, "wb") as out:
        out.setnchannels(channels)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(data.tobytes())


def psnr_db(squares, count):
    if squares == 0:
        return IDENTICAL_DB
    return 20 * math.log10(PEAK / math.sqrt(squares / count))


def model(original, copy, channels, rate, skipped):
    """Each second's and the running PSNR of each channel, in plain order."""
    frames = min(len(original) // channels - skipped, len(copy) // channels)
    seconds, running = [], []
    totals = [0] * channels
    for start in range(0, frames, rate):
        count = min(rate, frames - start)
        sums = [0] * channels
        for f in range(start, start + count):
            for c in range(channels):
                d = original[(skipped + f) * channels + c] - copy[f * channels + c]
                sums[c] += d * d
        totals = [t + s for t, s in zip(totals, sums)]
        seconds.append([psnr_db(s, count) for s in sums])
        running.append([psnr_db(t, start + count) for t in totals])
    return frames, seconds, running


def clock_seconds(label):
    seconds = 0
    for part in label.split(":"):
        seconds = seconds * 60 + int(part)
    return seconds


class Picture:
    """A picture parsed, and its axes as its tick labels give them."""

    def __init__(self, path):
        self.root = ElementTree.parse(path).getroot()
        self.x_of = self.axis("x-ticks", "x", clock_seconds)
        self.y_of = self.axis("y-ticks", "y", float)
        band = self.root.find(f"{SVG}rect[@class='identical']")
        self.band = None if band is None else (float(band.get("y")), float(band.get("y")) + float(band.get("height")))

    def axis(self, group, attribute, value_of):
        labels = self.root.findall(f"{SVG}g[@class='{group}']/{SVG}text")
        assert len(labels) >= 2, f"{group}: {len(labels)} labels"
        (v0, p0), (v1, p1) = [(value_of(t.text), float(t.get(attribute))) for t in (labels[0], labels[-1])]
        return lambda value: p0 + (value - v0) * (p1 - p0) / (v1 - v0)

    def points(self, kind, channel):
        line = self.root.find(f"{SVG}polyline[@class='{kind}'][@data-channel='{channel}']")
        return [tuple(map(float, p.split(","))) for p in line.get("points").split()]

    def texts(self):
        return ["".join(t.itertext()) for t in self.root.iter(f"{SVG}text")]

    def expect_height(self, y, db, what):
        if db >= IDENTICAL_DB:
            assert self.band and self.band[0] <= y <= self.band[1], f"{what}: {y} not in the band {self.band}"
        else:
            assert abs(y - self.y_of(db)) <= PIXEL, f"{what}: y {y}, {db} dB is at {self.y_of(db)}"


def run_plot(tool, args, picture):
    run = subprocess.run([tool, "--plot", picture] + args, capture_output=True)
    assert run.returncode in (0, 1), run.stderr
    return Picture(picture)


def check_seconds(tool, work):
    """Stereo at 1 kHz, measured from the original's 0.25 s: two identical
    seconds, a dip on each channel, a short last second, odd file names."""
    rate, channels, skipped = 1000, 2, 250
    rng = random.Random(5)
    original = [int(8000 * math.sin(f / 7.0 + c)) + rng.randint(-500, 500) for f in range(30500) for c in range(2)]
    copy = []
    for f in range(30250):
        second = f // rate
        for c in range(channels):
            spread = 0 if second < 2 else 400 if (second, c) == (17, 1) else 60 if (second, c) == (23, 0) else 3
            copy.append(original[(skipped + f) * channels + c] + rng.randint(-spread, spread))
    original_name = os.path.join(work, "orig &<>\"'.wav")
    copy_name = os.fsencode(work) + b"/copy \xff.wav"
    write_wav(original_name, rate, channels, original)
    write_wav(os.fsdecode(copy_name), rate, channels, copy)
    frames, seconds, running = model(original, copy, channels, rate, skipped)
    picture = run_plot(
        tool,
        ["--delay", str(-skipped), "--min-second-psnr", "40", "--min-psnr", "50", original_name, copy_name],
        os.path.join(work, "seconds.svg"),
    )

    start, end = skipped / rate, skipped / rate + frames / rate
    for c in range(channels):
        steps = picture.points("second", c + 1)
        rises = picture.points("running", c + 1)
        assert len(steps) == len(rises) == 2 * len(seconds), (len(steps), len(seconds))
        for k, (figures, totals) in enumerate(zip(seconds, running)):
            what = f"channel {c + 1}, second {k}"
            for (x, y), t in zip(steps[2 * k : 2 * k + 2], (start + k, min(start + k + 1, end))):
                assert abs(x - picture.x_of(t)) <= PIXEL, f"{what}: x {x}, {t} s is at {picture.x_of(t)}"
                picture.expect_height(y, figures[c], what)
            for _, y in rises[2 * k : 2 * k + 2]:
                picture.expect_height(y, totals[c], what + " (running)")

    worst_db, worst_second = min((db, k) for k, figures in enumerate(seconds) for db in figures)
    assert worst_second == 17, worst_second
    marker = picture.root.find(f"{SVG}circle[@class='worst']")
    assert abs(float(marker.get("cx")) - picture.x_of(start + 17.5)) <= PIXEL
    picture.expect_height(float(marker.get("cy")), worst_db, "the worst second's marker")
    lowest = max(picture.points("second", 2), key=lambda point: point[1])
    picture.expect_height(lowest[1], worst_db, "channel 2's lowest point")
    assert picture.x_of(start + 17) - PIXEL <= lowest[0] <= picture.x_of(start + 18) + PIXEL
    limits = sorted(float(line.get("y1")) for line in picture.root.findall(f"{SVG}line[@class='limit']"))
    assert len(limits) == 2, limits
    for y, db in zip(limits, (50, 40)):
        picture.expect_height(y, db, f"the limit of {db} dB")

    texts = picture.texts()
    for expected in ("original: " + original_name, "copy: " + os.fsdecode(work) + "/copy \ufffd.wav"):
        assert expected in texts, (expected, texts[:4])
    assert any("clipped" in text for text in texts), "no note that the axis is clipped"
    colours = {line.get("stroke") for line in picture.root.findall(f"{SVG}polyline[@class='second']")}
    assert len(colours) == channels, colours


def check_ten_hours(tool, work):
    """Ten hours of stereo at 8 Hz, with one second of channel 1 far worse."""
    rate, channels, hours_s, dip = 8, 2, 36000, 20000
    rng = random.Random(6)
    original = [rng.randint(-8000, 8000) for _ in range(hours_s * rate * channels)]
    copy = list(original)
    for i in range(len(copy)):
        # Never 0, so that no second is identical.
        copy[i] += rng.choice((-2, -1, 1, 2)) if i // (rate * channels) != dip or i % 2 else 3000
    write_wav(os.path.join(work, "long.wav"), rate, channels, original)
    write_wav(os.path.join(work, "long_copy.wav"), rate, channels, copy)
    dip_db = psnr_db(rate * 3000 * 3000, rate)
    path = os.path.join(work, "ten_hours.svg")
    picture = run_plot(tool, ["--delay", "0", os.path.join(work, "long.wav"), os.path.join(work, "long_copy.wav")], path)
    size = os.path.getsize(path)
    print(f"ten hours of stereo: a picture of {size} bytes")
    assert size < MOST_BYTES, size
    lowest = max(picture.points("second", 1), key=lambda point: point[1])
    picture.expect_height(lowest[1], dip_db, "the dip")
    assert abs(lowest[0] - picture.x_of(dip + 0.5)) <= PIXEL, (lowest, picture.x_of(dip + 0.5))
    assert max(y for _, y in picture.points("second", 2)) < picture.y_of(dip_db) - 100 * PIXEL


def render(picture_path, work):
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        print("Skipped: chromium is not installed (Debian: chromium)")
        return
    try:
        from PIL import Image
    except ImportError:
        print("Skipped: Pillow is not installed for this Python (Debian: python3-pil)")
        return
    root = ElementTree.parse(picture_path).getroot()
    width, height = (math.ceil(float(root.get(side))) for side in ("width", "height"))
    shot = os.path.join(work, "plot.png")
    if os.path.exists(shot):
        os.remove(shot)
    with tempfile.TemporaryDirectory() as profile:
        subprocess.run(
            [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             f"--user-data-dir={profile}", f"--screenshot={shot}", f"--window-size={width},{height}",
             "file://" + os.path.abspath(picture_path)],
            capture_output=True, timeout=120, check=True)
    image = Image.open(shot).convert("RGB")
    pixels = list(image.getdata())
    print(f"rendered {image.size[0]}x{image.size[1]} pixels to {shot}")
    inked = sum(1 for p in pixels if min(p) < 200)
    assert inked > len(pixels) // 50, f"only {inked} of {len(pixels)} pixels are not white"
    for line in root.findall(f"{SVG}polyline[@class='second']"):
        colour = tuple(int(line.get("stroke")[i : i + 2], 16) for i in (1, 3, 5))
        near = sum(1 for p in pixels if sum(abs(a - b) for a, b in zip(p, colour)) <= 30)
        print(f"channel {line.get('data-channel')}, {line.get('stroke')}: {near} pixels")
        assert near >= 300, f"channel {line.get('data-channel')}'s colour {colour} shows in {near} pixels only"


def main():
    mode, target, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    if mode == "render":
        render(target, work)
        return
    for check in (check_seconds, check_ten_hours):
        check(target, work)
        print(f"{check.__name__}: passed")


if __name__ == "__main__":
    main()
