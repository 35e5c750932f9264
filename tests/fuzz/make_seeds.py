#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets (corpus/link_fuzz, corpus/loop_fuzz, corpus/key_fuzz).

The formats are described at the top of link_fuzz.cpp, loop_fuzz.cpp and key_fuzz.cpp. Run it from anywhere
after changing a seed; the files it writes are committed, so no build step needs Python.
"""
import pathlib
import random
import struct

HERE = pathlib.Path(__file__).resolve().parent

# link_fuzz: [start x 10 ms][repeat][vanish] then (gap, byte) pairs. Gap below 200: x 10 us,
# from 200: (gap - 198) ms. 4 is one byte time at 250000 baud.
NEVER = 255
BAUD = 4


def stream(text, gap=BAUD, first_gap=None):
    data = text.encode("latin-1") if isinstance(text, str) else bytes(text)
    pairs = bytearray()
    for i, byte in enumerate(data):
        pairs += bytes([first_gap if (i == 0 and first_gap is not None) else gap, byte])
    return bytes(pairs)


def link(start, repeat, vanish, *parts):
    return bytes([start, repeat, vanish]) + b"".join(parts)


BANNER = "start\n" + "".join(
    "echo: M%d value %d ; a line of the printer's start banner\n" % (92 + i, i * 37)
    for i in range(16))
OK_REPLIES = b"".join(stream("ok\n", first_gap=220) for _ in range(6))

rng = random.Random(5)
LINK = {
    "silent": link(0, 0, NEVER),
    "banner": link(100, 0, NEVER, stream(BANNER), OK_REPLIES),
    "banner_across_wait": link(218, 0, NEVER, stream(BANNER), OK_REPLIES),
    "banner_after_settle": link(240, 0, NEVER, stream(BANNER)),
    "flood_at_once": link(0, 255, NEVER, stream("x" * 300, gap=0)),
    "flood_at_baud": link(210, 255, NEVER, stream("echo:busy: processing\n" * 9)),
    "flood_from_open": link(0, 255, NEVER, stream("echo:busy: processing\n" * 15)),
    "gaps_near_two_ms": link(225, 0, NEVER, stream("ok\r\nok", gap=199), stream("\r\n", gap=200),
                             stream("ok\n", gap=150)),
    "reply_10_kib": link(250, 255, NEVER, stream("A" * 40)),
    "crlf_replies": link(230, 0, NEVER, *(stream("ok\r\n", first_gap=218) for _ in range(5))),
    "garbage_and_nul": link(230, 3, NEVER, stream(bytes(rng.randrange(256) for _ in range(300)),
                                                   gap=1)),
    "nul_only": link(230, 1, NEVER, stream(b"\0" * 300, gap=0)),
    "vanish_mid_run": link(100, 0, 3, stream(BANNER), OK_REPLIES),
    "vanish_at_settle": link(100, 0, 0, stream(BANNER)),
}

# loop_fuzz: [answer length][answer][one gap x 100 us per answer byte, the first after the line]
# then records of 10 bytes: delay ms, EventType (2), key-down (1, signed), repeat (2, modulo 8),
# virtual key (2), control (1), char.
KEY, MOUSE, WINDOW, MENU, FOCUS = 1, 2, 4, 8, 16
SHIFT, CAPS, LCTRL, LALT = 0x10, 0x80, 0x08, 0x02


def record(delay, vk, down=1, event=KEY, repeat=1, control=0, char=0):
    return struct.pack("<BHBHHBB", delay, event, down & 0xFF, repeat, vk, control, char)


def press(vk, delay=100, **kw):
    return record(delay, vk, 1, **kw) + record(50, vk, 0, **kw)


def loop(reply, delay, *records, gaps=None):
    reply = reply.encode("latin-1") if isinstance(reply, str) else reply
    if gaps is None:
        gaps = [delay] + [1] * (len(reply) - 1) if reply else []
    return bytes([len(reply)]) + reply + bytes(gaps) + b"".join(records)


A, Z, E, R, T, Y, SPACE = 0x41, 0x5A, 0x45, 0x52, 0x54, 0x59, 0x20
QUIT = record(100, SPACE)
LOOP = {
    "six_keys": loop("ok\n", 10, *(press(k) for k in (A, Z, E, R, T, Y)), QUIT),
    "auto_repeat": loop("ok\n", 10, *(record(30, T) for _ in range(12)), record(30, T, 0), QUIT),
    "keys_during_settle": loop("ok\n", 10, press(E, 0), press(E, 0), press(Y, 200),
                               record(255, 0x42), *(record(255, 0x42, 0) for _ in range(8)), QUIT),
    "records_not_keys": loop("ok\n", 10, *(record(20, A, 1, event=t) for t in
                                           (MOUSE, WINDOW, MENU, FOCUS, 0, 3, 0x8001)),
                             press(A), QUIT),
    "modifiers": loop("ok\n", 10, press(A, control=SHIFT, char=ord("A")), press(A, control=CAPS),
                      press(A, control=LCTRL, char=1), press(Z, control=LALT), QUIT),
    "unmapped_and_space_up": loop("ok\n", 10, *(press(k) for k in (0x42, 0x30, 0x0D, 0x25, 0x70)),
                                  record(100, SPACE, 0), press(Y), QUIT),
    "key_down_values": loop("ok\n", 10, record(100, A, 0xFF), record(100, A, 0x80),
                            record(100, A, 2), record(100, A, 0), QUIT),
    "repeat_counts": loop("ok\n", 10, record(100, E, repeat=0), record(100, E, repeat=5),
                          record(100, E, repeat=0xFFFF), QUIT),
    "reply_254_bytes": loop(b"x" * 254, 0, *(press(R) for _ in range(4)), QUIT),
    "reply_late": loop("ok\n", 255, *(press(T, 0) for _ in range(6)), QUIT),
    "reply_nul_and_cr": loop(b"\0\0ok\r\n\0", 5, press(A), press(Z), QUIT),
    "no_space_bar": loop("ok\n", 10, press(A), press(A)),
    "fine_steps": loop("ok\n", 10, *(record(0, T) for _ in range(120)),
                       *(record(0, Y) for _ in range(120)), QUIT),
    "burst_at_once": loop("ok\n", 10, *(record(0, Z) for _ in range(250)), QUIT),
    "below_zero": loop("", 0, *(record(0, Z) for _ in range(201)), record(0, Y), QUIT),
    # A printer slower than the keys: steps while a line waits make one line, the latest.
    "slow_printer_held_key": loop("ok\n", 255, press(A), *(record(33, Z) for _ in range(60)),
                                  record(33, Z, 0), QUIT),
    "ok_split_across_reads": loop("o\r\nok T:21.0\r\n", 0, *(press(E, 40) for _ in range(8)), QUIT,
                                  gaps=[10, 200, 0, 0, 200, 0, 0, 0, 0, 0, 0, 0, 0, 0]),
    "busy_then_ok": loop("echo:busy: processing\nok\n", 250, *(press(T, 20) for _ in range(10)),
                         QUIT),
    "never_ok": loop("echo:busy: processing\n", 10, *(press(R, 30) for _ in range(10)), QUIT),
    "space_while_waiting": loop("ok\n", 255, press(A), press(A, 250), press(T, 5), QUIT),
    "repeat_counts_merged": loop("ok\n", 20, *(record(0, Y, repeat=r) for r in range(8)), QUIT),
}


# key_fuzz: [piece size] then the bytes typed.
def keys(piece, typed):
    return bytes([piece - 1]) + typed


ESC = b"\x1b"
KEY = {
    "latin1_between_letters": keys(16, b"\xe9az"),
    "letters_one_by_one": keys(1, b"aAzZeErRtTyY \r\t\x7f0123456789"),
    "valid_utf8": keys(3, "é€😀ßÿ\u07ff\u0800\uffff\U00010000\U0010ffff".encode("utf-8") + b"a"),
    "invalid_leads": keys(2, b"\x80a\xbfz\xc0\x80e\xc1\xbfr\xf5t\xf8y\xfe\xff"),
    "overlong_and_surrogates": keys(5, b"\xe0\x80\xafa\xf0\x8f\xbf\xbfz\xed\xa0\x80e"
                                      b"\xed\xbf\xbfr\xf4\x90\x80\x80t"),
    "cut_short": keys(1, b"\xe2\x82a\xf0\x9f\x98z\xc3"),
    "sequences": keys(4, ESC + b"[A" + ESC + b"[1;5D" + ESC + b"OP" + ESC + b"[15~" + ESC + b"[[B"
                      + ESC + b"[200~a" + ESC + b"[?1;2c"),
    "alt_keys": keys(2, ESC + b"a" + ESC + b"Z" + ESC + b"\xe9" + ESC + b"\xc3\xa9" + ESC + ESC
                     + b"[A" + ESC + b"O" + b"\x05"),
    "broken_sequences": keys(7, ESC + b"[1\x01a" + ESC + b"[[z" + ESC + b"O\x1b[B" + ESC + b"[12;"),
    "control_codes": keys(1, bytes(range(0, 32)) + b"a"),
    "long_csi_fills_the_buffer": keys(16, ESC + b"[" + b"1;" * 40 + b"Aa"),
    "escape_at_piece_ends": keys(3, b"ab" + ESC + b"cd" + ESC + b"[ef" + ESC),
    "random": keys(11, bytes(rng.randrange(256) for _ in range(400))),
}


def write(target, seeds):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


write("link_fuzz", LINK)
write("loop_fuzz", LOOP)
write("key_fuzz", KEY)
