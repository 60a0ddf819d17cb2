#!/usr/bin/env python3
"""Records the fuzz targets' seed corpora from the simulators' real traffic.

    scripts/netns-run.sh --no-wine -- fuzz/record_seeds.py --bin build/native/bin [--out fuzz/corpus]

Runs phone-sim, usbmuxd-sim and adb-sim on loopback (inside the test network, as everything that
opens sockets), speaks to each as the engine would, and writes what they sent, framed as each
target reads its input, under OUT/<target>/. The committed seeds come from this script; rerun it
when a simulator's wire output changes.
"""
import argparse
import os
import socket
import struct
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIXTURES = os.path.join(ROOT, "tests", "fixtures")
MAX_SEED = 48 * 1024


def header(data, at):
    word = struct.unpack_from("<I", data, at)[0]
    return word & 0xFFFFFF, word >> 24


def split_messages(data):
    messages, at = [], 0
    while len(data) - at >= 4:
        length, _ = header(data, at)
        if length < 4 or len(data) - at < length:
            break
        messages.append(data[at:at + length])
        at += length
    return messages


def start(args, ready):
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        if os.path.exists(ready) and open(ready).read().strip():
            return proc, dict(w.split("=", 1) for w in open(ready).read().split()[1:])
        time.sleep(0.05)
    proc.kill()
    raise SystemExit("%s did not start" % args[0])


def endpoint(text):
    host, port = text.rsplit(":", 1)
    return host, int(port)


class Control:
    def __init__(self, address):
        self.sock = socket.create_connection(address, timeout=5)
        self.file = self.sock.makefile("rw")

    def __call__(self, line):
        self.file.write(line + "\n")
        self.file.flush()
        reply = self.file.readline().strip()
        if not reply.startswith("ok"):
            raise SystemExit("phone-sim: %s -> %s" % (line, reply))
        return reply


def read_for(sock, seconds, until_closed=False):
    data, deadline = b"", time.time() + seconds
    sock.settimeout(0.1)
    while time.time() < deadline:
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            continue
        if not chunk:
            break
        data += chunk
    return data


def record_phone(bin_dir, work):
    """The phone's side of a session: opening, a format request's stream, every status message,
    a goodbye; and the opening of a phone that asks for a passcode."""
    ready = os.path.join(work, "phone.ready")
    proc, where = start([os.path.join(bin_dir, "phone-sim"), "--listen", "127.0.0.1:0",
                         "--control", "127.0.0.1:0", "--ready-file", ready, "--quiet",
                         "--name", "Seed Phone", "--hevc",
                         "--formats", "640x480@30,1280x720@30,1280x720@60,1920x1080@30,720x1280@30",
                         "--h264-fixture", os.path.join(FIXTURES, "h264-1280x720.psimpkt"),
                         "--opus-fixture", os.path.join(FIXTURES, "opus-tone-48k.psimpkt")], ready)
    try:
        control = Control(endpoint(where["control"]))
        session = socket.create_connection(endpoint(where["session"]), timeout=5)
        opening = read_for(session, 0.5)
        # The engine's format request: H.264, 1280 x 720 at 30.
        session.sendall(struct.pack("<IIIIIf", (11 << 24) | 24, 1, 1, 1280, 720, 30.0))
        media = read_for(session, 0.7)
        control("stream off")
        read_for(session, 0.2)
        for line in ("status 16 4 1", "status 19 1 -2 3 4", "status 20 0.5 1.5 2.5 7",
                     "status 21 0.25 0.5 0.75 1", "status 22 5 6 7 8",
                     'status 24 2 "Wide" "Ultra wide"', "status 25 1 0.75", "status 5",
                     "announcement", "goodbye close"):
            control(line)
        statuses = read_for(session, 1.0)
        control("set passcode 1234")
        control("set challenge 42")
        locked = socket.create_connection(endpoint(where["session"]), timeout=5)
        challenge = read_for(locked, 0.5)
        locked.close()
        session.close()
    finally:
        proc.terminate()
        proc.wait()
    return opening, media, statuses, challenge


def plist(entries):
    body = "".join("<key>%s</key>%s" % (key, value) for key, value in entries)
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST '
            '1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n<plist version="1.0">\n'
            "<dict>%s</dict>\n</plist>\n" % body).encode()


def usbmux_request(tag, message_type, extra=()):
    entries = [("MessageType", "<string>%s</string>" % message_type),
               ("ClientVersionString", "<string>kavex-usbmux 1</string>"),
               ("ProgName", "<string>kavex-engine</string>"),
               ("kLibUSBMuxVersion", "<integer>3</integer>")] + list(extra)
    payload = plist(entries)
    return struct.pack("<IIII", 16 + len(payload), 1, 8, tag) + payload


def read_usbmux(sock, count):
    replies, data = [], b""
    sock.settimeout(3)
    while len(replies) < count:
        while len(data) < 16 or len(data) < struct.unpack_from("<I", data)[0]:
            chunk = sock.recv(65536)
            if not chunk:
                return replies
            data += chunk
        length = struct.unpack_from("<I", data)[0]
        replies.append(data[:length])
        data = data[length:]
    return replies


def record_usbmux(bin_dir, work):
    """The service's replies to each request the client makes, and the Listen stream."""
    devices = os.path.join(work, "usbmux-devices")
    with open(devices, "w") as f:
        f.write("device 3 00008030-000A11112222333E usb product=0x12a8\n"
                "device 9 00008101-00BB22223333444F network address=198.18.0.2\n")
    ready = os.path.join(work, "usbmux.ready")
    sock_path = os.path.join(work, "usbmuxd.sock")
    proc, _ = start([os.path.join(bin_dir, "usbmuxd-sim"), "--unix", sock_path, "--devices", devices,
                     "--ready-file", ready, "--quiet"], ready)
    record = "<data>%s</data>" % "c2VlZCBwYWlyIHJlY29yZA=="
    exchanges = [
        ("list", [usbmux_request(1, "ListDevices")], 1),
        ("buid", [usbmux_request(2, "ReadBUID")], 1),
        ("pair-missing", [usbmux_request(3, "ReadPairRecord",
                                         [("PairRecordID", "<string>00008030-000A11112222333E</string>")])], 1),
        ("pair-saved", [usbmux_request(4, "SavePairRecord",
                                       [("PairRecordID", "<string>00008030-000A11112222333E</string>"),
                                        ("PairRecordData", record), ("DeviceID", "<integer>3</integer>")]),
                        usbmux_request(5, "ReadPairRecord",
                                       [("PairRecordID", "<string>00008030-000A11112222333E</string>")])], 2),
        ("connect-refused", [usbmux_request(6, "Connect", [("DeviceID", "<integer>77</integer>"),
                                                           ("PortNumber", "<integer>23314</integer>")])], 1),
        ("listen", [usbmux_request(7, "Listen")], 3),
    ]
    seeds = {}
    try:
        for name, requests, count in exchanges:
            client = socket.socket(socket.AF_UNIX)
            client.connect(sock_path)
            for request in requests:
                client.sendall(request)
            seeds[name] = b"".join(read_usbmux(client, count))
            client.close()
    finally:
        proc.terminate()
        proc.wait()
    return seeds


def record_adb(bin_dir, work):
    """The bridge's listings as the engine reads them (CRLF, as under Windows), several in a row."""
    script = os.path.join(work, "adb-devices")
    env = dict(os.environ, KAVEX_ADB_DEVICES=script, KAVEX_ADB_PORT="15099")
    adb = os.path.join(bin_dir, "adb-sim", "adb")
    listings = []
    for lines in (["device R5CT1234 device"],
                  ["device R5CT1234 device", "device 0123456789ABCDEF unauthorized",
                   "device 198.18.0.2:5555 device", "device emulator-5554 device"],
                  ["device R5CT1234 offline", "device 99AAZZ device"]):
        with open(script, "w") as f:
            f.write("style crlf\n" + "\n".join(lines) + "\n")
        listings.append(subprocess.run([adb, "devices"], env=env, capture_output=True).stdout)
    with open(script, "w") as f:
        f.write("not-found\n")
    missing = subprocess.run([adb, "devices"], env=env, capture_output=True).stderr
    subprocess.run([adb, "kill-server"], env=env, capture_output=True)
    return listings, missing


def dns_sd_seeds(announcement):
    """The DNS-SD library's replies for the phone that sent this announcement, as the DNS-SD
    fuzzer's script: browse, resolve and address replies over two passes (see dns_sd_fuzzer.cpp
    for the order its fake library reads them in)."""
    ident = announcement[4:20].hex()
    text = lambda t: struct.pack("<H", len(t)) + t
    service = ident.encode()
    full = service + b"._kavexwebcam._tcp.local."
    host = b"Seed-Phone.local."
    txt = b"\x07txtvers=1\x09name=Seed"
    first_pass = (b"\x00\x00" + b"\x01" + b"\x00\x02\x00" + text(service) + b"\x01\x01" + b"\x00"
                  + b"\x01" + b"\x00\x02\x00\x00" + text(full) + text(host) + struct.pack(">H", 4699)
                  + text(txt) + b"\x00")
    second_pass = b"\x00\x00" + b"\x00" + b"\x01" + b"\x00\x02"
    ipv4 = b"\x01" + struct.pack(">H", 0) + bytes([127, 0, 0, 1]) + text(host)
    ipv6 = (b"\x02" + struct.pack("<II", 2, 0) + bytes([0xFE, 0x80] + [0] * 13 + [2]) + text(host))
    return {"resolved-ipv4": first_pass + second_pass + ipv4 + b"\x01",
            "resolved-ipv6": first_pass + second_pass + ipv6 + b"\x00",
            "expired": first_pass + b"\x0c\x00\x00\x0c\x00\x00\x01"}


def write(out, target, name, data):
    folder = os.path.join(out, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data[:MAX_SEED])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="the native build's bin folder")
    parser.add_argument("--out", default=os.path.join(ROOT, "fuzz", "corpus"))
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="kavex-seeds-")

    opening, media, statuses, challenge = record_phone(args.bin, work)
    whole = b"\xff" * 8  # reads of whatever the loop asks for
    small = bytes([0x02, 0x03, 0x00, 0x07, 0x01, 0x40, 0x05, 0x00])
    media_messages = split_messages(media)
    cut, size = [], 0
    for message in media_messages:
        if size + len(message) > MAX_SEED - 8:
            break
        cut.append(message)
        size += len(message)
    write(args.out, "stream_fuzzer", "opening", whole + opening)
    write(args.out, "stream_fuzzer", "opening-small-reads", small + opening)
    write(args.out, "stream_fuzzer", "media", bytes([1, 0xff, 0x10, 0xff, 0x80, 0xff, 0x04, 0xff]) + b"".join(cut))
    write(args.out, "stream_fuzzer", "statuses-goodbye", small + statuses)
    write(args.out, "stream_fuzzer", "passcode", whole + challenge)
    # The same through the transports' read-ahead (plan byte 0, bit 2).
    write(args.out, "stream_fuzzer", "media-read-ahead", bytes([5, 0xff, 0x10, 0xff, 0x80, 0xff, 0x04, 0xff]) + b"".join(cut))
    write(args.out, "stream_fuzzer", "statuses-goodbye-read-ahead", bytes([small[0] | 4]) + small[1:] + statuses)

    capabilities = [m for m in split_messages(opening) if header(m, 0)[1] == 10][0]
    demands = {
        "consumer-640x480": struct.pack("<BBIif", 1, 0, 640, 480, 30.0),
        "shown-automatic": struct.pack("<BBIif", 2, 0, 0, 0, 30.0),
        "preset-1080p": struct.pack("<BBIif", 3, 6, 1280, -720, 59.94),
        "portrait-consumer": struct.pack("<BBIif", 1, 0, 720, 1280, 30.0),
        "huge-list": struct.pack("<BBIif", 0x1F, 0, 1920, 1080, 30.0),
    }
    for name, demand in demands.items():
        tile = b"\xff\xff" if name == "huge-list" else b"\x00\x00"
        write(args.out, "capabilities_fuzzer", name, demand + tile + capabilities[4:])

    announcement = [m for m in split_messages(opening) if header(m, 0)[1] == 1][0]
    frame = lambda sender, block: bytes([sender]) + struct.pack("<H", len(block)) + block
    write(args.out, "announcement_fuzzer", "one", frame(2, announcement))
    write(args.out, "announcement_fuzzer", "both-families", frame(2, announcement) + frame(0x85, announcement))

    for name, data in dns_sd_seeds(announcement).items():
        write(args.out, "dns_sd_fuzzer", name, data)

    for name, data in record_usbmux(args.bin, work).items():
        write(args.out, "usbmux_fuzzer", name, data)

    listings, missing = record_adb(args.bin, work)
    for i, listing in enumerate(listings):
        write(args.out, "adb_devices_fuzzer", "listing-%d" % i, listing)
    write(args.out, "adb_devices_fuzzer", "plugged-then-more", b"\x0c".join(listings))
    write(args.out, "adb_devices_fuzzer", "not-installed", missing)


if __name__ == "__main__":
    main()
