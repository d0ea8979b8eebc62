#!/usr/bin/env python3
"""Writes the seeds of command_protocol_fuzzer (run from anywhere).

Each seed is one request as a client would write it to the pipe. Seeds up to 4 KiB go to
corpus/, where the fuzzer mutates them; larger ones go to large-inputs/, which the fuzz
scripts replay whole before fuzzing (mutating 64 KiB inputs would slow the search tenfold)."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))
SMALL = os.path.join(HERE, "corpus")
LARGE = os.path.join(HERE, "large-inputs")
LARGE_FROM = 4096

SEEDS = {
    "start": b'{"command":"start"}',
    "stop": b'{"command":"stop"}',
    "active": b'{"command":"active"}',
    "stop_crlf": b'{"command":"stop"}\r\n',
    "stop_many_lf": b'{"command":"stop"}\n\n\n',
    "stop_extra_members": b'{"a":1,"command":"stop","b":[null,true,{"c":"x"}],"d":-2.5e3}',
    "stop_whitespace": b' \t\r\n{ "command" : "stop" }\t ',
    "unknown_case": b'{"command":"Start"}',
    "unknown_empty": b'{"command":""}',
    "unknown_space": b'{"command":" stop"}',
    "unknown_non_ascii": '{"command":"stöp 服 😀"}'.encode(),
    "unknown_escapes": b'{"command":"\\u00e9\\ud83d\\ude00\\u0000\\"\\\\\\/\\n"}',
    "command_number": b'{"command":5}',
    "command_null": b'{"command":null}',
    "command_array": b'{"command":["stop"]}',
    "empty_object": b"{}",
    "array": b'[{"command":"stop"}]',
    "bare_string": b'"stop"',
    "number": b"5",
    "other_key": b'{"cmd":"stop"}',
    "empty": b"",
    "crlf_only": b"\r\n\n\r",
    "trailing_comma": b'{"command":"stop",}',
    "comment": b'{"command":"stop" /* c */}',
    "line_comment": b'{"command":"stop"} // c',
    "two_objects": b'{"command":"stop"}{"command":"stop"}',
    "unterminated": b'{"command":"stop"',
    "lone_surrogate": b'{"command":"\\ud800"}',
    "nul_after": b'{"command":"stop"}\x00garbage',
    "nul_only": b"\x00",
    "nul_in_key": b'{"comm\x00and":"stop"}',
    "nul_in_value": b'{"command":"st\x00op"}',
    "utf8_ff": b"\xff",
    "utf8_value_start": "é".encode(),
    "utf8_truncated_in_string": b'{"command":"\xc3"}',
    "utf8_overlong": b'{"command":"\xc0\xaf"}',
    "utf8_surrogate": b'{"command":"\xed\xa0\x80"}',
    "utf8_in_key": b'{"\xfe":1}',
    "utf8_after_object": b'{"command":"stop"}\xff',
    "utf8_after_colon": '{"command":€}'.encode(),
    "utf8_beside_control": '{"command":"stöp\x01"}'.encode(),
    "deep_open_4000": b"[" * 4000,
    "nul_4096": b"\x00" * 4096,
    "deep_open_100000": b"[" * 100000,
    "deep_balanced_65534": b"[" * 32767 + b"]" * 32767,
    "deep_objects": b'{"a":' * 10000 + b"1" + b"}" * 10000,
    "long_command_65535": b'{"command":"' + b"x" * (65535 - 14) + b'"}',
    "long_ff_65535": b"\xff" * 65535,
    "long_cut_utf8_65535": b'{"command":"' + "é".encode() * 32761 + b'"',
}


def main():
    for name, data in SEEDS.items():
        out = LARGE if len(data) > LARGE_FROM else SMALL
        os.makedirs(out, exist_ok=True)
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
