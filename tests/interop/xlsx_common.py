"""Helpers of the .xlsx interop scripts: the engine's dump tool and openpyxl side by side."""
import datetime
import glob
import json
import os
import subprocess

import openpyxl
from openpyxl.utils.datetime import to_excel

BUILD = os.environ.get("TW_BUILD_DIR", "build")
CORPUS = os.environ.get("TW_CORPUS_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "corpus"))
SCHEMAS = os.environ.get("TW_SCHEMA_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "schemas"))
DUMP = os.path.join(BUILD, "tests", "xlsx_dump")


def corpus_files():
    files = glob.glob(os.path.join(CORPUS, "xlsx", "*.xlsx")) + glob.glob(
        os.path.join(CORPUS, "xlsx", "*.xlsm"))
    return sorted(files)


def dump(path):
    out = subprocess.run([DUMP, path], capture_output=True, timeout=120)
    return json.loads(out.stdout.decode("utf-8"))


def roundtrip(path, out):
    r = subprocess.run([DUMP, path, "--write", out], capture_output=True, timeout=120)
    if r.returncode != 0:
        raise AssertionError("writing %s failed: %s" % (out, r.stderr.decode("utf-8", "replace")))


def openpyxl_number(value, epoch):
    """A value openpyxl converted to a date or time, back to its serial number."""
    if isinstance(value, datetime.timedelta):
        return value.total_seconds() / 86400.0
    if isinstance(value, (datetime.datetime, datetime.date, datetime.time)):
        return to_excel(value, epoch)
    return value


def close(a, b):
    return abs(a - b) <= 1e-9 * max(1.0, abs(a), abs(b)) or abs(a - b) < 1e-6


def decode_xstring(s):
    """openpyxl leaves the _xHHHH_ escapes of string items as they are; the engine decodes
    them as the format defines (a carriage return is stored as _x000D_)."""
    import re
    if not isinstance(s, str):
        return s
    return re.sub(r"_x([0-9A-Fa-f]{4})_", lambda m: chr(int(m.group(1), 16)), s)
