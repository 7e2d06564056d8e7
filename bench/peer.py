"""The same ledger written in plain Python: what a user would write instead of
using the module. Produces the same line format and signatures.
"""

import datetime
import hashlib
import json
import struct

GENESIS = "GENESIS_BLOCK_HASH"


def _timestamp(now):
    text = now.strftime("%Y-%m-%dT%H:%M:%S")
    if now.microsecond:
        text += ".%06d" % now.microsecond
    return text + "+00:00"


def _digest(prev_hash, timestamp, actor, delta, payload):
    h = hashlib.sha256()
    h.update(prev_hash.encode())
    h.update(timestamp.encode())
    h.update(actor.encode())
    h.update(struct.pack(">d", delta))
    h.update(payload.encode())
    return h.hexdigest()


class PeerLedger:
    def __init__(self, path):
        self.path = path
        self.head, self.count = GENESIS, 0
        try:
            with open(path, encoding="utf-8") as f:
                for line in f:
                    try:
                        entry = json.loads(line)
                        self.head, self.count = entry["signature"], entry["index"] + 1
                    except (ValueError, KeyError, TypeError):
                        continue
        except FileNotFoundError:
            pass

    def commit_truth(self, actor, delta, payload):
        timestamp = _timestamp(datetime.datetime.now(datetime.timezone.utc))
        signature = _digest(self.head, timestamp, actor, delta, payload)
        entry = {"index": self.count, "timestamp": timestamp, "prev_hash": self.head,
                 "actor": actor, "delta_i": delta, "payload": payload, "signature": signature}
        with open(self.path, "a", encoding="utf-8") as f:
            f.write(json.dumps(entry, separators=(",", ":"), ensure_ascii=False) + "\n")
        self.head, self.count = signature, self.count + 1
        return signature

    def verify_integrity(self):
        expected = GENESIS
        try:
            f = open(self.path, encoding="utf-8")
        except OSError:
            return False
        with f:
            for line in f:
                if not line.strip():
                    continue
                try:
                    e = json.loads(line)
                    fields = (e["prev_hash"], e["timestamp"], e["actor"], float(e["delta_i"]), e["payload"])
                except (ValueError, KeyError, TypeError):
                    return False
                if e["prev_hash"] != expected or _digest(*fields) != e["signature"]:
                    return False
                expected = e["signature"]
        return True
