#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: the frames of a normal
conversation in each target's input format (see the comment at the top of each
target). Run from anywhere; rewrites tests/fuzz/corpus/<target>/."""
import os
import shutil
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

# Device codes.
UPGRADE_QUERY, RES_B, RES_F, BOOT_START = 0x1001, 0x1005, 0x1007, 0x1011
NEXT_BLOCK, CRC_REQUEST, RES_MODULE, RES_CHANNEL = 0x1021, 0x1023, 0x1041, 0x1043
REPEAT = 192


def dev(code, status=0, w3=0, w4=0, byte1=0x00):
    """A device frame: FD, any byte, words 1-4 high byte first, C5 8D."""
    return bytes([0xFD, byte1]) + struct.pack(">HHHH", code, status, w3, w4) + b"\xC5\x8D"


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- receive_path_fuzz: start-answer pick, then [length][bytes] records ---
def handoff(data):
    assert len(data) < 0x80
    return bytes([len(data)]) + data


def receive_path():
    t = "receive_path_fuzz"
    normal = b"".join(handoff(dev(c, s)) for c, s in [
        (NEXT_BLOCK, 0), (NEXT_BLOCK, REPEAT), (NEXT_BLOCK, 0), (NEXT_BLOCK, 0),
        (NEXT_BLOCK, 0), (CRC_REQUEST, 0)])
    after = handoff(dev(UPGRADE_QUERY)) + handoff(dev(BOOT_START)) + handoff(dev(RES_CHANNEL))
    for pick, name in enumerate(["boot_and_firmware", "firmware", "module", "channel"]):
        write(t, "conversation_" + name, bytes([pick]) + normal + after)
    f = dev(NEXT_BLOCK)
    write(t, "split_5_7", bytes([3]) + handoff(f[:5]) + handoff(f[5:]))
    write(t, "garbage_first", bytes([3]) + handoff(b"\x01\x02\xC5\x8D" + f))
    write(t, "two_frames_one_handoff", bytes([2]) + handoff(f + dev(UPGRADE_QUERY)))
    bad = bytes([0xFD, 0xC9, 0x21, 0x10, 0, 0, 0, 0, 0, 0, 0x8D, 0xC5])
    write(t, "bad_end_mark_then_frames", bytes([0]) + handoff(bad) + handoff(f) + handoff(dev(0x1002)))
    write(t, "unknown_codes", bytes([3]) + b"".join(handoff(dev(c)) for c in [0x1000, 0x1002, 0x1044, 0]))
    write(t, "no_start_byte_and_empty", bytes([3]) + handoff(b"\x11\x22\x33") + handoff(b"") + handoff(f))
    # A full pump buffer (4097 bytes) led by a frame, and a long direct call.
    big = f + bytes(4097 - len(f))
    write(t, "full_pump_buffer", bytes([3, 0x80 | (4097 >> 8), 4097 & 0xFF]) + big)
    write(t, "long_direct_call", bytes([1, 0xF8]) + struct.pack(">H", 40000) + (f * 6)[:64])


# --- rx_assembly_fuzz: capacity pick, then arrivals / bursts / passes / appends ---
def rx_assembly():
    t = "rx_assembly_fuzz"
    f = dev(NEXT_BLOCK)
    arrive = lambda d: bytes([len(d)]) + d
    passes = lambda n: bytes([0xC0 + n - 1])
    write(t, "frame_then_pass", b"\x00" + arrive(f) + passes(1))
    write(t, "split_frame", b"\x00" + arrive(f[:5]) + passes(1) + arrive(f[5:]) + passes(2))
    write(t, "garbage_and_two_frames", b"\x00" + arrive(b"\x10\x20" + f + f + b"\x55") + passes(4))
    write(t, "eleven_bytes_wait", b"\x00" + arrive(f[:11]) + passes(3) + arrive(f[11:]) + passes(1))
    # A burst larger than the buffer: the rest waits in the device queue.
    source = (f * 6)[:64]  # a burst repeats the next 64 bytes
    write(t, "burst_overflow", b"\x00" + bytes([0x80 | 0x14, 0x00]) + source + passes(32))
    write(t, "small_capacity", b"\x04" + arrive(f + f) + passes(4))
    write(t, "direct_append", b"\x00" + bytes([0xE0 | 25]) + source + passes(2))


# --- staging_fuzz: job mode, file length, flags, seed, size kind, ops ---
OP_NEXT, OP_REPEAT, OP_NEXT_STATUS, OP_CRC = 0, 3, 4, 5
OP_RES = {RES_B: 6, RES_F: 7, RES_MODULE: 8, RES_CHANNEL: 9}
OP_QUERY, OP_BOOT, OP_CODE, OP_START, OP_SIZE, OP_FILE = 10, 11, 12, 13, 14, 15


def staging_input(mode, length, flags, ops, size_kind=b"\x00", seed=b""):
    return bytes([mode]) + struct.pack(">H", length) + bytes([flags, len(seed)]) + seed + size_kind + bytes(ops)


def staging():
    t = "staging_fuzz"
    fix, big = 0x02, 0x01
    stream = [OP_NEXT, OP_REPEAT, OP_NEXT, OP_NEXT, OP_NEXT, OP_CRC, OP_START, OP_QUERY, OP_BOOT]
    write(t, "boot_and_firmware", staging_input(2, 0x5000, fix | 0x08 | (1 << 4), [OP_RES[RES_B]] + stream))
    write(t, "firmware", staging_input(1, 0x1000, fix | big, [OP_RES[RES_F], OP_NEXT, OP_REPEAT] + [OP_CRC]))
    write(t, "firmware_bad_trailer", staging_input(1, 0x3000, 0, [OP_RES[RES_F], OP_NEXT, OP_CRC]))
    write(t, "module", staging_input(3, 0x3000, 0, [OP_RES[RES_MODULE]] + stream, seed=b"module"))
    write(t, "channel_10000", staging_input(4, 10000, 0x04 | (1 << 4), [OP_RES[RES_CHANNEL]] + stream))
    write(t, "channel_empty", staging_input(4, 0, 0, [OP_RES[RES_CHANNEL], OP_NEXT, OP_CRC]))
    write(t, "size_off_by_some", staging_input(4, 0x2100, 0, [OP_RES[RES_CHANNEL], OP_NEXT], size_kind=b"\x04\x10"))
    write(t, "file_shrinks", staging_input(3, 0x4000, 0, [OP_FILE, 2, 0x10, 0x00, OP_RES[RES_MODULE],
                                                          OP_FILE, 0, OP_RES[RES_MODULE], OP_NEXT]))
    write(t, "second_start_answer", staging_input(2, 0x6000, fix, [OP_RES[RES_B], OP_NEXT, 0x80 | OP_RES[RES_B],
                                                                   OP_NEXT, OP_CRC]))
    write(t, "unknown_code_and_status", staging_input(4, 0x2000, 0, [OP_RES[RES_CHANNEL], OP_CODE, 0x10, 0x44, 0, 0,
                                                                     OP_NEXT_STATUS, 0x01, 0x00, OP_CRC]))


# --- handlers_fuzz: flags, repeat limit, file length, seed, then calls ---
H = {"ResConnection": 0, "ResRebooting": 1, "ResUpgradeB": 2, "ResUpgradeF": 3, "ResUpgradeModule": 4,
     "ResUpgradeChannel": 5, "ResReadData": 6, "ResInitData": 10}


def call(handler, status=0, length=0, frame=b"", code=0x1007):
    """One call with good marks forced by the flags: status and length inline."""
    sb = bytes([0x80]) + struct.pack(">H", status) if status > 7 else bytes([status])
    lb = bytes([0x80]) + struct.pack(">H", length) if length > 0x3F else bytes([length])
    return bytes([H[handler]]) + struct.pack(">H", code) + sb + lb + b"\x00\x00" + b"\x03" + bytes([len(frame)]) + frame


def handlers():
    t = "handlers_fuzz"
    ready, marks, present = 0x01, 0x02, 0x04
    head = lambda mode, length: bytes([ready | marks | present | (mode << 4), 3]) + struct.pack(">H", length) + b"\x07"
    upload = lambda name: call(name, 1) + call(name, 0) + call(name, 3) + call(name, 0) + call(name, 0)
    write(t, "upload_f_2500", head(1, 2500) + upload("ResUpgradeF"))
    write(t, "upload_b_mode2", head(2, 3000) + upload("ResUpgradeB") + call("ResUpgradeB", 3))
    write(t, "upload_module_channel", head(2, 1500) + upload("ResUpgradeModule") + bytes([11, 3 | (3 << 3)])
          + upload("ResUpgradeChannel"))
    body = b"\xFE\xC5" + b"T42RM\0".ljust(16, b"\0") + b"1.1.0\0".ljust(16, b"\0") + b"boot\0".ljust(16, b"\0") + b"\x0D\xC9"
    frame = bytes(12) + body
    write(t, "connection_good_body", head(1, 0) + call("ResConnection", 0, 52, frame, 0x1001))
    write(t, "connection_device_error", head(1, 0) + call("ResConnection", 0x120, 0, bytes(12), 0x1001))
    write(t, "port_closed_mid_upload", head(1, 2500) + call("ResUpgradeF", 1) + bytes([11, 4])
          + call("ResUpgradeF", 0) + bytes([11, 5]) + call("ResUpgradeF", 0) + call("ResUpgradeF", 3))
    write(t, "rebooting_and_trace_only", head(1, 0) + call("ResRebooting", 0) + call("ResRebooting", 0x110)
          + call("ResReadData", 5) + call("ResInitData", 0))


if __name__ == "__main__":
    corpus = os.path.join(HERE, "corpus")
    if os.path.isdir(corpus):
        shutil.rmtree(corpus)
    receive_path()
    rx_assembly()
    staging()
    handlers()
    for target in sorted(os.listdir(corpus)):
        files = os.listdir(os.path.join(corpus, target))
        size = sum(os.path.getsize(os.path.join(corpus, target, f)) for f in files)
        print(f"{target}: {len(files)} seeds, {size} bytes")
