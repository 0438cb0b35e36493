"""The second half of a job of the conversion workflow (the Snakefile beside this file): after
tavrik-convert has run on one raw file, writes the file's row of the summary (tab-separated,
COLUMNS, without the header).

    python record.py STATUS RAW CONVERTED LOG RECORD

STATUS is the converter's exit status and LOG its messages. When it failed, the raw file is opened
with tavrik.RawReader: if that fails too, the file cannot be read and the row says so with the
converter's message; otherwise this exits with status 1 and writes no row, so that the job fails
and a later run retries it. The statistics come from the mzML's index and the head of each
spectrum, a few KiB a spectrum, and from the arrays of the MRM transitions' chromatograms; an
MGF output has none. This runs once a file and starting Python is most of its cost, so it
imports little (no re, json or csv).
"""
import array
import base64
import hashlib
import os
import sys
import zlib

COLUMNS = ["file", "scans", "ms1", "ms2", "rt_first_sec", "rt_last_sec", "tic", "acquired",
           "output", "output_bytes", "output_sha1", "status", "message"]


def param(text: bytes, accession: bytes) -> bytes | None:
    """The value of the first cvParam with this accession in `text`."""
    at = text.find(b'accession="' + accession + b'"')
    if at < 0:
        return None
    start = text.index(b'value="', at) + 7
    return text[start:text.index(b'"', start)]


def arrays(element: bytes) -> dict:
    """The binary arrays of a chromatogram: {array accession: values}."""
    out = {}
    for part in element.split(b"<binaryDataArray ")[1:]:
        raw = base64.b64decode(part.split(b"<binary>")[1].split(b"</binary>")[0])
        values = array.array("d" if b"MS:1000523" in part else "f", zlib.decompress(raw) if b"MS:1000574" in part else raw)
        out[b"MS:1000595" if b"MS:1000595" in part else b"MS:1000515"] = values.tolist()
    return out


def contents(path: str) -> dict:
    """Record counts, retention-time range and total ion current (of the MS1 spectra, or of all
    records when there are none, as in the TIC chromatogram) of an indexed mzML. Spectra are
    read from the head of each, no array decoded; MRM transitions, written as one chromatogram
    per pair, from those chromatograms' arrays."""
    heads = []  # (ms level, scan start time, total ion current)
    with open(path, "rb") as f:
        f.seek(max(0, os.path.getsize(path) - 256))
        f.seek(int(f.read().split(b"<indexListOffset>")[1].split(b"<")[0]))
        index_list = f.read()
        index = index_list.split(b'<index name="spectrum">')[1].split(b"</index>")[0]
        for entry in index.split(b"</offset>")[:-1]:
            f.seek(int(entry.rsplit(b">", 1)[1]))
            head = f.read(4096).split(b"<binaryDataArrayList")[0]
            heads.append((int(param(head, b"MS:1000511")), float(param(head, b"MS:1000016")),
                          float(param(head, b"MS:1000285") or 0)))
        index = index_list.split(b'<index name="chromatogram">')[1].split(b"</index>")[0]
        for entry in index.split(b"</offset>")[:-1]:
            if b'idRef="SRM SIC ' not in entry:
                continue
            f.seek(int(entry.rsplit(b">", 1)[1]))
            element = b""
            while b"</chromatogram>" not in element:
                piece = f.read(1 << 16)
                if not piece:
                    break
                element += piece
            values = arrays(element.split(b"</chromatogram>")[0])
            heads += [(2, t, i) for t, i in zip(values[b"MS:1000595"], values[b"MS:1000515"])]
    levels, times = [h[0] for h in heads], [h[1] for h in heads]
    traced = [tic for level, _, tic in heads if level == 1] or [tic for _, _, tic in heads]
    return {"scans": len(heads), "ms1": levels.count(1), "ms2": levels.count(2),
            "rt_first_sec": min(times, default=None), "rt_last_sec": max(times, default=None), "tic": sum(traced)}


def output(path: str) -> dict:
    """Size and SHA-1 of the converted file, and the acquisition time its mzML header gives."""
    with open(path, "rb") as f:
        head = f.read(65536)
        f.seek(0)
        digest = hashlib.file_digest(f, "sha1").hexdigest()
    run = head[head.find(b"<run "):]
    acquired = run[:run.find(b">")].partition(b'startTimeStamp="')[2].partition(b'"')[0]
    return {"acquired": acquired.decode(), "output": os.path.basename(path),
            "output_bytes": os.path.getsize(path), "output_sha1": digest}


def readable(path: str) -> bool:
    import tavrik  # only here: a converted file is not opened again
    try:
        tavrik.RawReader(path)
    except RuntimeError:
        return False
    return True


def field(value) -> str:
    """A value as a TSV field, quoted as the csv module would when it must be."""
    text = "" if value is None else str(value)
    return '"' + text.replace('"', '""') + '"' if any(c in text for c in '\t\n\r"') else text


def main(argv: list[str]) -> int:
    status, raw, converted, log, record = argv[1:]
    with open(log, errors="replace") as f:
        messages = [line.rstrip("\n").removeprefix(f"tavrik-convert: {raw}: ") for line in f]
    row = {"file": os.path.basename(raw), "message": "; ".join(messages)}
    if status == "0":
        row |= (contents(converted) if converted.endswith(".mzML") else {}) | output(converted) | {"status": "ok"}
    elif status == "1" and not readable(raw):
        row["status"] = "failed"
    else:  # the converter was killed, or failed on a file that reads: the run is at fault
        print(f"{raw}: tavrik-convert exited with status {status}; its messages are in {log}", file=sys.stderr)
        return 1
    with open(record, "w") as f:
        f.write("\t".join(field(row.get(c)) for c in COLUMNS) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
