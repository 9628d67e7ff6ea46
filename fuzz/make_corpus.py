#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

A few valid inputs per target, in the input layouts the targets' headers describe. The one seed
that must be encrypted here (a datagram as received) needs the `cryptography` module and is
skipped without it; every other seed is sealed by its target. Files named regress_* are inputs
that once made a target fail, kept by hand so that every run replays them.
"""

import json
import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"
STREAM_KEY = bytes([0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                    0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF])

# Message ids of the catalogue.
SESSION_RESPONSE, SESSION_MSG, FRAGMENT_INFO, SESSION_REQUEST = 1, 3, 4, 6
ICE, SDP, TERMINATE, VIDEO_FRAME, VIDEO_STATS, RETRANSMIT, CONTROL, STREAM_STATE, SET_STREAM = (
    7, 8, 9, 10, 11, 12, 13, 14, 15)
KEYFRAME, DETECTIONS_FRAGMENT, HAS_DETECTIONS = 1, 2, 4

SDP_ANSWER = (
    "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n"
    "m=video 9 UDP/TLS/RTP/SAVPF 96\r\nc=IN IP4 0.0.0.0\r\na=rtpmap:96 VP8/90000\r\n"
    "a=sendrecv\r\na=mid:video0\r\n")
CANDIDATE = "candidate:1 1 UDP 2015363327 127.0.0.1 40000 typ host"


def write(target, name, data):
    folder = ROOT / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def frame(type_id, payload):
    return struct.pack("<BI", type_id, len(payload)) + payload


def string(text):
    raw = text.encode()
    return struct.pack("<I", len(raw)) + raw


def fragment_info(seq, fid, count, kind):
    return struct.pack("<IHHB", seq, fid, count, kind)


def control(seq, rtt_min=20, rtt_max=40, flight=-1, bitrate=1_000_000, fmt=1):
    return struct.pack("<IIIiIB", seq, rtt_min, rtt_max, flight, bitrate, fmt)


def detections(items):
    return struct.pack("<I", len(items)) + b"".join(struct.pack("<HHHHHB", *i) for i in items)


# ---- video datagrams --------------------------------------------------------------------------

def record(step_ms, body):
    return struct.pack("<BH", step_ms, len(body)) + body


def structured(seq, fid, count, kind, data):
    return fragment_info(seq, fid, count, kind) + control(seq) + data


def datagram_seeds():
    key3 = [structured(1, i, 3, KEYFRAME, bytes([i]) * 200) for i in range(3)]
    late = [structured(2, 0, 2, 0, b"a" * 100), structured(3, 0, 1, 0, b"c" * 50),
            structured(2, 1, 2, 0, b"b" * 100)]
    det = [structured(4, 0, 2, HAS_DETECTIONS, b"v" * 80),
           structured(4, 1, 2, HAS_DETECTIONS | DETECTIONS_FRAGMENT,
                      detections([(10, 20, 30, 40, 7, 1)]))]
    ordered = b"".join(record(5, r) for r in key3 + late + det)
    write("video_datagram", "structured_frames", bytes([2]) + ordered)
    write("video_datagram", "structured_frames_budget", bytes([6]) + ordered)
    lost = b"".join(record(60, r) for r in [key3[0], key3[2], late[1]])
    write("video_datagram", "structured_loss_budget", bytes([6]) + lost)

    plain = frame(CONTROL, control(1)) + frame(FRAGMENT_INFO, fragment_info(1, 0, 1, KEYFRAME))
    write("video_datagram", "plaintext_single", bytes([1]) + record(0, plain + b"k" * 300))

    try:
        from cryptography.hazmat.primitives.ciphers.aead import AESGCM
    except ImportError:
        return
    gcm = AESGCM(STREAM_KEY)
    iv_c, iv_p = bytes(range(1, 13)), bytes(range(13, 25))
    sealed_c = gcm.encrypt(iv_c, plain[:26], None)
    sealed_p = gcm.encrypt(iv_p, plain[26:] + b"k" * 300, None)
    datagram = (struct.pack("<IB", 0xBEEF, 1) + iv_c + sealed_c[:26] + sealed_c[26:38] + iv_p +
                sealed_p[:-16] + sealed_p[-16:-4])
    write("video_datagram", "sealed_datagram", bytes([0]) + record(0, datagram))


# ---- signalling stream ------------------------------------------------------------------------

def set_stream(addr, camera, enabled=1):
    return frame(SET_STREAM, struct.pack("<IBB", addr, enabled, camera) + STREAM_KEY)


def plain_record(payload):
    envelope = struct.pack("<IIBB", 1, 2, 0, 0) + payload
    return struct.pack("<I", len(envelope)) + envelope


def signalling_seeds():
    announce = set_stream(0xBEEF, 1)
    request = frame(SESSION_REQUEST, struct.pack("<IIB", 0xBEEF, 77, 2))
    peer = frame(SDP, string(SDP_ANSWER) + string("answer"))
    relay = frame(SESSION_MSG, struct.pack("<IIB", 0xBEEF, 77, 1) + struct.pack("<I", len(peer)) + peer)
    stop = frame(TERMINATE, struct.pack("<IB", 77, 1))
    remove = set_stream(0xBEEF, 1, enabled=0)
    frames = [announce, request, relay, stop, remove]
    write("signalling_stream", "plain_records", bytes([0, 3]) + b"".join(plain_record(f) for f in frames))
    write("signalling_stream", "plain_one_record", bytes([0, 0]) + plain_record(b"".join(frames)))
    sealed = b"".join(struct.pack("<H", len(f)) + f for f in frames)
    write("signalling_stream", "sealed_records", bytes([1, 1]) + sealed)


# ---- message catalogue ------------------------------------------------------------------------

def message_seeds():
    peer = frame(ICE, struct.pack("<I", 0) + string(CANDIDATE))
    payloads = {
        0: struct.pack("<IIBb", 0xBEEF, 77, 1, -1) + string("No stream found"),
        1: struct.pack("<IIB", 0xBEEF, 77, 1) + struct.pack("<I", len(peer)) + peer,
        2: fragment_info(9, 1, 3, KEYFRAME),
        3: struct.pack("<IIB", 0xBEEF, 77, 1),
        4: struct.pack("<I", 0) + string(CANDIDATE),
        5: string(SDP_ANSWER) + string("answer"),
        6: struct.pack("<IB", 77, 1),
        7: struct.pack("<BB", 1, 1) + detections([(1, 2, 3, 4, 5, 6)]) + string("frame-bytes"),
        8: struct.pack("<III", 3, 9, 1),
        9: struct.pack("<IH", 9, 2),
        10: control(9, flight=12),
        11: struct.pack("<IIIIIIIIIBB", 0xBEEF, 10, 40, 1, 2, 0, 3, 4, 1_000_000, 1, 1),
        12: struct.pack("<IBB", 0xBEEF, 1, 1) + STREAM_KEY,
        13: detections([(1, 2, 3, 4, 5, 6), (7, 8, 9, 10, 11, 12)]),
    }
    for selector, payload in payloads.items():
        write("messages", f"message_{selector:02d}", bytes([selector]) + payload)


# ---- session pipe -----------------------------------------------------------------------------

def session_seeds():
    sdp = frame(SDP, string(SDP_ANSWER) + string("answer"))
    ice = frame(ICE, struct.pack("<I", 0) + string(CANDIDATE))
    video = frame(VIDEO_FRAME, struct.pack("<BB", 1, 1) +
                  detections([(10, 20, 30, 40, 7, 1)]) + string("\x10\x02\x00vp8"))
    stream = sdp + ice + video + ice
    write("session_input", "negotiation_small_chunks", bytes([0, 255]) + stream)
    write("session_input", "negotiation_small_buffer", bytes([40, 3]) + stream)


# ---- configuration ----------------------------------------------------------------------------

def config_seeds():
    base = {
        "listen_ip": "127.0.0.1", "listen_port": 30000, "utm_host": "127.0.0.1",
        "utm_port": 5466, "stun_url": "stun.example.net:3478",
        "turn_url": "user:password@turn.example.net:3478", "log_statistics": False,
        "log_level": 2, "save_dir": "./flights", "show_local_video": False,
        "manet_addr": "0A0B0C0D", "manet_key": "000102030405060708090a0b0c0d0e0f",
    }
    write("config", "minimal.json", json.dumps(base, indent=2).encode())
    full = dict(base, save_statistics_to_file=True, latency_ms=400,
                ice_local_addresses=["127.0.0.1", "::1"])
    write("config", "full.json", json.dumps(full, indent=2).encode())


# ---- IVF --------------------------------------------------------------------------------------

def ivf_seeds():
    def ivf(fourcc, frames, header_size=32):
        head = (b"DKIF" + struct.pack("<HH", 0, header_size) + fourcc +
                struct.pack("<HHIII", 320, 240, 30, 1, len(frames)) + b"\0" * 4)
        head += b"\0" * (header_size - 32)
        body = b"".join(struct.pack("<IQ", len(f), i) + f for i, f in enumerate(frames))
        return head + body

    vp8_key = bytes([0x10, 0x02, 0x00, 0x9D, 0x01, 0x2A]) + b"\0" * 10
    vp8_inter = bytes([0x31, 0x01, 0x00]) + b"\1" * 8
    write("ivf", "vp8.ivf", ivf(b"VP80", [vp8_key, vp8_inter, b"", vp8_inter]))
    vp9_key = bytes([0x82, 0x49, 0x83, 0x42, 0x00]) + b"\0" * 8
    vp9_inter = bytes([0x86, 0x00, 0x40]) + b"\2" * 8
    write("ivf", "vp9.ivf", ivf(b"VP90", [vp9_key, vp9_inter]))
    write("ivf", "vp8_truncated.ivf", ivf(b"VP80", [vp8_key, vp8_inter], header_size=40)[:-5])


if __name__ == "__main__":
    datagram_seeds()
    signalling_seeds()
    message_seeds()
    session_seeds()
    config_seeds()
    ivf_seeds()
