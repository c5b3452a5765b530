#!/usr/bin/env python3
# Writes the kept corpus of the reply-parser fuzz target (see
# reply_parser_fuzz.cpp for the input layout). Run from this folder.
import os
import struct

def data_packet(kind, data, extra=0, spoil=False):
    s = sum(data) & 0xFFFF
    if spoil:
        s ^= 0x5A
    return bytes([kind, extra]) + struct.pack('<H', len(data)) + bytes(data) + struct.pack('<H', s)

def parse(flag, raw):
    return bytes([flag & 3]) + raw

def script(flag, capacity, packets, full=False):
    head = bytes([(flag & 3) | 4 | (8 if full else 0)]) + struct.pack('<H', capacity & 0xFFFF)
    return head + b''.join(struct.pack('<H', len(p)) + p for p in packets)

cases = {
    'ack': parse(1, b'\x06'),
    'ack_long': parse(1, b'\x06\x01\x02\x03'),
    'enq': parse(0, b'\x05'),
    'dc1': parse(1, b'\x11'),
    'nak': parse(1, b'\x15'),
    'can': parse(1, b'\x18'),
    'eot': parse(1, b'\x04\x00\x01\x00\x00\x00\x00'),
    'zero': parse(1, b'\x00'),
    'empty': parse(1, b''),
    'stx_6_bytes': parse(1, b'\x02\x00\x00\x00\x00\x00'),
    'etx_7_bytes': parse(1, data_packet(3, [0x42])),
    'etx_size': parse(1, data_packet(3, [0x00, 0xC0, 0x00, 0x00])),
    'etx_bad_sum_verified': parse(1, data_packet(3, [1, 2, 3], spoil=True)),
    'etx_bad_sum_flag2': parse(2, data_packet(3, [1, 2, 3], spoil=True)),
    'length_claims_more': parse(0, b'\x03\x00\xff\xff\x01\x02\x03\x04'),
    'length_one_short': parse(1, data_packet(2, list(range(100)))[:-1]),
    'trailing_bytes': parse(1, data_packet(3, [5, 6]) + b'\xaa\xbb'),
    'zoom_record': parse(1, data_packet(3, [50] + [0] * 11)),
    'ff_300': parse(1, data_packet(2, [0xFF] * 300)),
    'largest': parse(1, data_packet(3, [1] * 65530)),
    'var_fits': script(0, 150, [data_packet(2, list(range(100))), data_packet(3, list(range(50)))]),
    'var_etx_overflow': script(0, 120, [data_packet(2, list(range(100))), data_packet(3, list(range(50)))]),
    'var_stx_overflow': script(0, 50, [data_packet(2, [1] * 40)] * 3 + [data_packet(3, [2] * 5)]),
    'var_ack_first': script(1, 12, [b'\x06']),
    'var_bad_sum': script(1, 12, [data_packet(3, [0] * 12, spoil=True)]),
    'var_unverified_bad_sum': script(0, 12, [data_packet(3, [0] * 12, spoil=True)]),
    'var_no_reply': script(0, 100, []),
    'var_empty_packet': script(0, 100, [b'']),
    'var_nak_in_drain': script(0, 10, [data_packet(2, [1] * 40), b'\x15']),
    'var_capacity_zero': script(0, 0, [data_packet(3, [1])]),
    'var_zoom_13': script(1, 12, [data_packet(3, [0] * 13)]),
    'var_zoom_split': script(1, 12, [data_packet(2, [50, 0]), data_packet(3, [0] * 10)]),
    'var_full_picture': script(0, 0, [data_packet(2, [7] * 65000), data_packet(3, [8] * 536)], full=True),
    'var_full_picture_plus_one': script(0, 0, [data_packet(2, [7] * 65000), data_packet(3, [8] * 537)], full=True),
    'var_stx_forever_then_fail': script(0, 4, [data_packet(2, [1] * 5)] * 10),
    'var_short_stx': script(0, 100, [b'\x02\x00\x05\x00\x01\x02']),
    'var_empty_etx_capacity_zero': script(0, 0, [b'\x03\x04\x00\x00\x00\x01\x00']),
    'var_length_lies': script(0, 100, [b'\x03\x00\xff\xff\x01\x02\x03\x04\x05\x06']),
}

os.makedirs('corpus', exist_ok=True)
for name, data in cases.items():
    with open(os.path.join('corpus', name), 'wb') as f:
        f.write(data)
print(len(cases), 'inputs')
