#!/usr/bin/env python3
"""Writes the kept corpus of the config_descriptor fuzz target: the emulated camera's
configuration variants and broken configurations (lying lengths and counts)."""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def config(body, interfaces=1, total=None, length=9, kind=2):
    total = len(body) + 9 if total is None else total
    return bytes([length, kind]) + struct.pack("<H", total) + bytes([interfaces, 1, 0, 0x80, 0xFA]) + body


def interface(number=0, alternate=0, endpoints=2, length=9):
    return bytes([length, 4, number, alternate, endpoints, 0xFF, 0xFF, 0xFF, 0])


def endpoint(address, attributes=2, packet=64, length=7):
    return bytes([length, 5, address, attributes]) + struct.pack("<H", packet) + bytes([0 if attributes == 2 else 10])


CAMERA = interface() + endpoint(0x81) + endpoint(0x02)

CASES = {
    "camera": config(CAMERA),
    "out_first": config(interface() + endpoint(0x02) + endpoint(0x81)),
    "extra_interrupt": config(interface(endpoints=3) + endpoint(0x83, 3, 8) + endpoint(0x81) + endpoint(0x02)),
    "two_interfaces": config(CAMERA + interface(2, endpoints=1) + endpoint(0x83, 3, 8), interfaces=2),
    "long_600": config(interface() + b"".join(bytes([71, 0x24, i]) + bytes(range(3, 71)) for i in range(8))
                       + endpoint(0x81) + endpoint(0x02)),
    "alt_setting_1": config(interface(alternate=1) + endpoint(0x81) + endpoint(0x02)),
    "many_pipes": config(interface(endpoints=18) + endpoint(0x81) + endpoint(0x02)
                         + b"".join(endpoint(a, 3, 8) for n in range(3, 11) for a in (0x80 | n, n))),
    "alt_settings_0_and_1": config(CAMERA + interface(0, 1, 1) + endpoint(0x83, 3, 8)),
    "sixteen_pipes": config(interface(endpoints=16) + b"".join(endpoint(a) for n in range(1, 9) for a in (0x80 | n, n))),
    "no_endpoints": config(interface(endpoints=0)),
    "empty": b"",
    "one_byte": b"\x09",
    "header_only": config(b"", total=9),
    "total_zero": config(CAMERA, total=0),
    "total_four": config(CAMERA, total=4),
    "total_beyond_data": config(CAMERA, total=40),
    "total_max": config(CAMERA, total=0xFFFF),
    "total_65024": config(CAMERA, total=65024),
    "total_65023": config(CAMERA + bytes(65023 - 32), total=65023),
    "config_length_zero": config(CAMERA, length=0),
    "config_length_255": config(CAMERA, length=255),
    "wrong_type": config(CAMERA, kind=4),
    "interface_length_zero": config(interface(length=0) + endpoint(0x81) + endpoint(0x02)),
    "interface_length_two": config(interface(length=2)[:2] + endpoint(0x81) + endpoint(0x02)),
    "interface_length_long": config(interface(length=200) + endpoint(0x81) + endpoint(0x02)),
    "endpoint_length_zero": config(interface() + endpoint(0x81, length=0) + endpoint(0x02)),
    "endpoint_short": config(interface() + endpoint(0x81, length=5)[:5] + endpoint(0x02)),
    "endpoint_past_end": config(interface() + endpoint(0x81) + endpoint(0x02, length=9)),
    "more_endpoints_than_described": config(interface(endpoints=5) + endpoint(0x81) + endpoint(0x02)),
    "fewer_endpoints_than_described": config(interface(endpoints=1) + endpoint(0x81) + endpoint(0x02)),
    "endpoints_255": config(interface(endpoints=255) + endpoint(0x81) + endpoint(0x02)),
    "interfaces_255": config(CAMERA, interfaces=255),
    "interfaces_0": config(CAMERA, interfaces=0),
    "interface_number_255": config(interface(255) + endpoint(0x81) + endpoint(0x02)),
    "control_pipe": config(interface() + endpoint(0x00, 0) + endpoint(0x81) + endpoint(0x02)),
    "isochronous_pipe": config(interface(endpoints=3) + endpoint(0x81, 1, 512) + endpoint(0x81) + endpoint(0x02)),
    "two_in_pipes": config(interface(endpoints=3) + endpoint(0x81) + endpoint(0x83) + endpoint(0x02)),
    "no_out_pipe": config(interface(endpoints=1) + endpoint(0x81)),
    "odd_trailing_byte": config(CAMERA) + b"\x07",
    "truncated_endpoint": config(CAMERA)[:29],
}

os.makedirs(HERE, exist_ok=True)
for name, data in CASES.items():
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)
print(f"{len(CASES)} inputs in {HERE}")
