#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into tests/fuzz/corpus/<target>/seed-*.

The targets read their inputs with FuzzedDataProvider: integers and flags from the end of the
input backwards, byte strings from the front. A Seed collects both and lays them out that way,
so each seed below reads as the sequence of decisions the target makes.
"""
import pathlib
import sys

FRAME_BYTES = 4107


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = []  # integers as the target consumes them, in order

    def bytes(self, data):
        self.front += bytes(data)
        return self

    def int(self, value, low, high):
        """ConsumeIntegralInRange(low, high): as many bytes as the range needs, last one first."""
        span = high - low
        offset = value - low
        assert 0 <= offset <= span
        if span == 0:
            return self
        width = (span.bit_length() + 7) // 8
        self.back.append(offset.to_bytes(width, "big"))
        return self

    def flag(self, value):
        return self.int(1 if value else 0, 0, 255)

    def data(self):
        # Consumed from the last byte backwards, the most significant byte of a value first.
        consumed = b"".join(self.back)
        return bytes(self.front) + consumed[::-1]


def loader_frame(seed, blocks, block, tail, fill, corrupt_at=None):
    seed.int(blocks, 1, 8).int(block, 0, blocks).int(tail, 1, 4096).int(fill, 0, 255)
    seed.flag(corrupt_at is not None)
    if corrupt_at is not None:
        seed.int(corrupt_at, 1, FRAME_BYTES - 1)


def head_machine_seeds():
    def head(no_command=False, pelco_p=False, address=1, speed=0):
        return Seed().flag(no_command).flag(pelco_p).int(address, 1, 255).int(speed, 0, 3)

    whole = head()
    whole.int(3, 0, 4).int(1, 0, 255).int(1, 0, 1).int(0, 0, 4)  # Pelco-D command at 2400
    whole.int(2, 0, 4)  # connection check
    for block in range(2):
        whole.int(1, 0, 4)
        loader_frame(whole, 2, block, 100, 0x5A)
    yield "whole-upgrade", whole

    resend = head(no_command=True)
    resend.int(2, 0, 4).int(1, 0, 4)
    loader_frame(resend, 3, 0, 4096, 1, corrupt_at=4000)
    resend.int(1, 0, 4)
    loader_frame(resend, 3, 0, 4096, 1)
    resend.int(1, 0, 4)
    loader_frame(resend, 3, 2, 4096, 1)  # a block out of order: the head gives up
    yield "resend-and-wrong-block", resend

    pelco_p = head(pelco_p=True, address=7, speed=2)
    pelco_p.int(3, 0, 4).int(7, 0, 255).int(0, 0, 1).int(2, 0, 4)
    pelco_p.int(4, 0, 4)  # a second of quiet
    pelco_p.int(0, 0, 4).int(4, 0, 4).int(4, 0, 255).bytes([0x3F, 0x73, 0x00, 0xFF])
    yield "pelco-p-then-noise", pelco_p

    cut = head(no_command=True)
    cut.int(2, 0, 4).int(0, 0, 4).int(4, 0, 4).int(200, 0, 255)
    cut.bytes([0x73, 0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x00] + [0xFF] * 192)
    cut.int(4, 0, 4).int(2, 0, 4)  # quiet drops the half frame, then a new check
    yield "half-frame-then-quiet", cut


def session_seed(answers, image_size=100, switch=True, echo=False, byte_mode=False, retries=3,
                 fail_write_at=0, stop_at_write=0):
    seed = Seed()
    seed.int(0x84, 0, 255).int(1, 0, 2).int(3, 0, 5).int(1, 0, 3)  # one decision checked
    seed.flag(switch).flag(echo).flag(byte_mode).int(retries, 0, 4)
    seed.int(200, 1, 500).int(20, 0, 30).int(image_size, 1, 3 * 4096 + 1)
    seed.int(0, 0, 6).int(fail_write_at, 0, 20000).int(0, 0, 20000).int(stop_at_write, 0, 20000)
    table = [0x80, 0x81, 0x82, 0x83, 0x84, 0x86, 0x87]
    for answer in answers:  # one list of bytes per check or frame
        seed.int(len(answer), 0, 3)
        for byte in answer:
            if byte in table:
                seed.int(table.index(byte), 0, 8)
            else:
                seed.int(8, 0, 8).int(byte, 0, 255)
    return seed


def upgrade_session_seeds():
    yield "one-frame", session_seed([[0x80], [0x84]])
    yield "fill-frame", session_seed([[0x80], [0x82], [0x82], [0x84]], image_size=4097)
    yield "checksum-resend", session_seed([[0x80], [0x83], [0x81], [0x82], [0x84]],
                                          image_size=4097, retries=2)
    yield "too-early", session_seed([[0x80], [0x84]], image_size=8193)
    yield "noise-before-answers", session_seed([[0x55, 0x80], [0x00, 0x82], [0x84]],
                                               image_size=5000, byte_mode=True)
    yield "echo-line", session_seed([[0x80], [0x82], [0x84]], image_size=4097, echo=True)
    yield "head-gives-up", session_seed([[0x80], [0x86]], switch=False)
    yield "write-fails", session_seed([[0x80], [0x82]], image_size=4097, fail_write_at=3)
    yield "stopped", session_seed([[0x80], [0x82]], image_size=4097, stop_at_write=3)


def window_seed(image, steps):
    """steps: ("chunk", bytes, when_waiting, settle) | ("start",) | ("port",) | ("sleep", ms)."""
    seed = Seed().int(image, 0, 5)
    answers = [0x80, 0x81, 0x82, 0x83, 0x84, 0x86, 0x87]
    for step in steps:
        if step[0] == "start":
            seed.int(6, 0, 9)
        elif step[0] == "port":
            seed.int(7, 0, 9)
        elif step[0] == "sleep":
            seed.int(8, 0, 9).int(step[1], 0, 30)
        else:
            _, chunk, when_waiting, settle = step
            seed.int(0, 0, 9).flag(when_waiting).flag(settle)
            if chunk[0] in answers:
                seed.int(answers.index(chunk[0]), 0, 9)
            else:
                seed.int(9, 0, 9).int(chunk[0], 0, 255)
            seed.int(len(chunk) - 1, 0, 3)
            for byte in chunk[1:]:
                seed.int(byte, 0, 255)
    return seed


def window_seeds():
    def answer(*chunk, waiting=True, settle=True):
        return ("chunk", list(chunk), waiting, settle)

    # Image sizes by index: 1, 100, 4095, 4096, 4097, 8192 bytes.
    yield "one-frame", window_seed(1, [answer(0x84)])
    yield "two-frames", window_seed(4, [answer(0x82), answer(0x84)])
    yield "fill-frame", window_seed(0, [answer(0x82), answer(0x84)])
    yield "checksum-then-done", window_seed(5, [answer(0x83), answer(0x82), answer(0x81),
                                                answer(0x82), answer(0x84)])
    yield "complete-too-early", window_seed(5, [answer(0x84, waiting=False)])
    yield "answers-while-message-open", window_seed(
        4, [answer(0x83, settle=False), answer(0x82, waiting=False, settle=False),
            answer(0x84, waiting=False)])
    yield "noise-first", window_seed(1, [answer(0x55, 0x82), answer(0x82, 0x00), answer(0x84)])
    yield "port-closed-mid-frame", window_seed(4, [("sleep", 5), ("port",), answer(0x82)])
    yield "start-again", window_seed(4, [answer(0x80), ("start",), answer(0x82), answer(0x84)])
    yield "head-times-out", window_seed(2, [answer(0x82), answer(0x87)])


def hex_text_seeds():
    def text(t, capacity):
        return Seed().bytes(t.encode()).int(capacity, 0, 64)

    yield "frame-bytes", text("73 01 00 02 00 00 10 00 ", 64)
    yield "command", text("ff 01 00 57 00 00 58", 7)
    yield "check", text("3f 3f", 2)
    yield "short-capacity", text("ff 01 00 57", 1)
    yield "upper-case-and-bad-pair", text("AB\r\ncd x1 22", 64)
    yield "lone-digit", text("0", 64)


def cli_seeds():
    def line(*args):
        return Seed().bytes(b"\0".join(a.encode() for a in args))

    yield "port-and-image", line("--port", "/dev/ttyUSB0", "firmware.bin")
    yield "batch", line("--port", "COM3", "--address", "1,4,7-9", "--protocol", "pelco-p",
                        "--speed", "9600", "fw.bin")
    yield "two-ports", line("--port", "sim", "--port", "sim", "--echo", "--json", "fw.bin")
    yield "timing", line("--port", "p", "--answer-timeout", "0.5", "--retries", "0",
                         "--ack-delay", "0", "--switch-pause", "1500", "--write-mode", "byte",
                         "fw.bin")
    yield "no-switch", line("--no-switch", "--address", "3", "--port", "p", "-q", "fw.bin")
    yield "frames-without-port", line("--inspect", "fw.bin")
    yield "emit-trace", line("--emit", "out.bin", "--trace", "t.log", "fw.bin")
    yield "list-ports", line("--list-ports")
    yield "help", line("--help")
    yield "version", line("--version")
    yield "bad-address", line("--port", "p", "--address", "0,256,3-1", "fw.bin")
    yield "nan-timeout", line("--port", "p", "--answer-timeout", "nan", "fw.bin")


def telnet_client_seeds():
    iac, will, wont, do, dont, sb, se = 255, 251, 252, 253, 254, 250, 240

    def stream(data, cuts):
        seed = Seed().bytes(data).int(len(cuts), 0, 7)
        for cut in cuts:
            seed.int(cut, 0, 65535)
        return seed

    agree = [iac, do, 44, iac, will, 0, iac, do, 0, iac, will, 1]
    notices = [iac, sb, 44, 106, 0x60, iac, se, iac, sb, 44, 107, 0x30, iac, se]
    speed_ack = [iac, sb, 44, 101, 0x00, 0x01, 0xC2, 0x00, iac, se]
    yield "negotiation-and-acks", stream(agree + notices + speed_ack, [2, 13, 20])
    yield "data-with-escaped-ff", stream([0x80, iac, iac, 0x84, iac, iac, iac, iac, 0x82],
                                         [2, 5, 6])
    yield "refusals", stream([iac, dont, 44, iac, wont, 0, iac, dont, 0], [1])
    yield "ack-with-escaped-ff", stream([iac, sb, 44, 101, 0, 0, 0, iac, iac, iac, se, 0x55],
                                        [8, 9])
    yield "option-flood", stream([iac, will, 1, iac, do, 24, iac, 241] * 40, [3, 100])
    yield "endless-subnegotiation", stream([iac, sb, 44] + [0x42] * 300 + [0x84], [150])


def plan_text(*lines):
    return Seed().bytes("".join(line + "\n" for line in lines).encode())


def csv_cell_seeds():
    yield "quoted-label", Seed().bytes(b'"Yard, ""north""",COM3, 7 ,')
    yield "formula", Seed().bytes(b"=HYPERLINK(\"http://x\",\"y\")")
    yield "marked", Seed().bytes(b"'+1\t\r")
    yield "open-quote", Seed().bytes(b'a,"b')


PLAN_HEADER = "port,address,protocol,speed,image,label"


def plan_parser_seeds():
    yield "site", plan_text("\ufeff# site", PLAN_HEADER, "COM3,1,pelco-d,2400,fw.bin,Gate 3 east",
                            "\\\\.\\com3,2,Pelco-D,2400,,\"Yard, north\"",
                            "rfc2217://Yard:04001,5,pelco-p,4800,old.bin,")
    yield "same-head", plan_text(PLAN_HEADER, "COM3,1,pelco-d,2400", "com3,1,pelco-d,2400")
    yield "raw-tcp", plan_text("label,speed,protocol,address,port",
                               "x,9600,pelco-d,255,socket://[::1]:4001")
    yield "control", plan_text(PLAN_HEADER, "sim,1,pelco-d,2400,,\x1b[2J")


REPORT_HEADER = "row,label,port,address,image,image_sha256,start,end,outcome,frames,resends"


def resume_report_seeds():
    line = "2,'=x,COM1,1,f.bin,aa,2026-01-01T00:00:00Z,2026-01-01T00:00:01Z,{},3,1"
    yield "last-word", plan_text(REPORT_HEADER, line.format("upgraded"),
                                 line.format("failed: upgrade failed").replace("COM1", "com1"),
                                 line.format("upgraded").replace(",1,f", ",2,f"))
    yield "torn", Seed().bytes((REPORT_HEADER + "\n" + line.format("upgraded")).encode())
    yield "quoted", plan_text(REPORT_HEADER, '3,"Yard, north",COM2,9,f.bin,bb,,,not tried,0,0')


TARGETS = {
    "hex_text_fuzz": hex_text_seeds,
    "head_machine_fuzz": head_machine_seeds,
    "upgrade_session_fuzz": upgrade_session_seeds,
    "cli_options_fuzz": cli_seeds,
    "window_answers_fuzz": window_seeds,
    "telnet_client_fuzz": telnet_client_seeds,
    "csv_cell_fuzz": csv_cell_seeds,
    "plan_parser_fuzz": plan_parser_seeds,
    "resume_report_fuzz": resume_report_seeds,
}


def main():
    corpus = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent /
                          "corpus")
    for target, seeds in TARGETS.items():
        folder = corpus / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, seed in seeds():
            (folder / f"seed-{name}").write_bytes(seed.data())


if __name__ == "__main__":
    main()
