"""The second half of a job of the conversion workflow (the Snakefile beside this file): after
tavrik-convert has run on one raw file, writes the file's row of the summary (tab-separated,
COLUMNS, without the header).

    python record.py STATUS RAW LOG RECORD OUTPUT...

STATUS is the converter's exit status, LOG its messages, and OUTPUT... the files the conversion
writes, as `tavrik-convert --list-outputs` names them: the document (the mzML or MGF file, or the
spectra table), then the points table (Parquet), then the metadata file (--metadata). When the
converter succeeded, each of them must be there, and the row names them: `output`,
`output_bytes` and `output_sha1` the document, `points_table...` the points table and
`metadata...` the metadata file, each column empty when the conversion writes no such file. When
it failed, the raw file is opened with tavrik.RawReader: if that fails too, the file cannot be
read, the row says so with the converter's message and names no output; otherwise this exits with
status 1 and writes no row, so that the job fails and a later run retries it.

The figures (scans, ms1, ms2, rt_first_sec, rt_last_sec, tic and acquired) are of what the
document holds, read cheaply; where they cannot be had so, they stay empty, never guessed:
- of an mzML document, the head of each spectrum, no array decoded, and the time and intensity
  arrays of each MRM transition's chromatogram: a plain file through its index, a few KiB a
  spectrum; a gzip-compressed one read once from start to end (its index's offsets are of the
  uncompressed document). Those arrays cannot be read when stored with MS-Numpress (--numpress):
  such a file's rt_first_sec and rt_last_sec stay empty, and so does tic when it has no MS1
  spectra;
- of the Parquet tables, the spectra table's footer gives `scans` (its rows: every record
  written, an MRM measurement one of them) and `acquired`; the other figures are in compressed
  columns and stay empty;
- an MGF file has none.
This runs once a file and starting Python is most of its cost, so it imports little (no re or
csv; json for a Parquet footer, gzip for a compressed document).
"""
import array
import base64
import hashlib
import os
import sys
import zlib

COLUMNS = ["file", "scans", "ms1", "ms2", "rt_first_sec", "rt_last_sec", "tic", "acquired",
           "output", "output_bytes", "output_sha1", "status", "message",
           "points_table", "points_table_bytes", "points_table_sha1", "metadata", "metadata_bytes", "metadata_sha1"]
NUMPRESS = (b"MS:1002312", b"MS:1002314", b"MS:1002746", b"MS:1002748")  # with zlib or without
PIECE = 1 << 20  # bytes read at a time from a document


def param(text: bytes, accession: bytes) -> bytes | None:
    """The value of the first cvParam with this accession in `text`."""
    at = text.find(b'accession="' + accession + b'"')
    if at < 0:
        return None
    start = text.index(b'value="', at) + 7
    return text[start:text.index(b'"', start)]


def attribute(tag: bytes, name: bytes) -> bytes:
    """The value of an attribute of a start tag; empty when it has none."""
    return tag.partition(b" " + name + b'="')[2].partition(b'"')[0]


def arrays(element: bytes) -> dict | None:
    """The binary arrays of a chromatogram, {array accession: values}; None when they are stored
    with MS-Numpress."""
    out = {}
    for part in element.split(b"<binaryDataArray ")[1:]:
        if any(a in part for a in NUMPRESS):
            return None
        raw = base64.b64decode(part.split(b"<binary>")[1].split(b"</binary>")[0])
        values = array.array("d" if b"MS:1000523" in part else "f", zlib.decompress(raw) if b"MS:1000574" in part else raw)
        out[b"MS:1000595" if b"MS:1000595" in part else b"MS:1000515"] = values.tolist()
    return out


def head(text: bytes) -> tuple[int, float, float]:
    """The MS level, scan start time and total ion current in the head of a spectrum."""
    return (int(param(text, b"MS:1000511")), float(param(text, b"MS:1000016")),
            float(param(text, b"MS:1000285") or 0))


class Tally:
    """The figures of an mzML document, from its spectra's heads and its MRM transitions'
    chromatograms."""

    def __init__(self, acquired: bytes):
        self.acquired = acquired.decode()
        self.heads = []  # (ms level, scan start time, total ion current)
        self.unread = 0  # MRM measurements in chromatograms whose arrays are numpress

    def add_transitions(self, element: bytes) -> None:
        """Counts the measurements of one transition's chromatogram (the whole element)."""
        values = arrays(element)
        if values is None:
            self.unread += int(attribute(element[:element.index(b">")], b"defaultArrayLength"))
        else:
            self.heads += [(2, t, i) for t, i in zip(values[b"MS:1000595"], values[b"MS:1000515"])]

    def figures(self) -> dict:
        levels, times = [h[0] for h in self.heads], [h[1] for h in self.heads]
        ms1 = [tic for level, _, tic in self.heads if level == 1]
        tic = sum(ms1) if ms1 else None if self.unread else sum(tic for _, _, tic in self.heads)
        known = not self.unread  # the measurements' times are known
        return {"scans": len(self.heads) + self.unread, "ms1": levels.count(1), "ms2": levels.count(2) + self.unread,
                "rt_first_sec": min(times, default=None) if known else None,
                "rt_last_sec": max(times, default=None) if known else None, "tic": tic, "acquired": self.acquired}


def indexed_contents(path: str) -> dict:
    """The figures of a plain mzML file, read through its index: the head of each spectrum, a
    few KiB, and the transitions' chromatograms."""
    with open(path, "rb") as f:
        top = f.read(65536)
        run = top[top.find(b"<run "):]
        tally = Tally(attribute(run[:run.find(b">")], b"startTimeStamp"))
        f.seek(max(0, os.path.getsize(path) - 256))
        f.seek(int(f.read().split(b"<indexListOffset>")[1].split(b"<")[0]))
        index_list = f.read()
        index = index_list.split(b'<index name="spectrum">')[1].split(b"</index>")[0]
        for entry in index.split(b"</offset>")[:-1]:
            f.seek(int(entry.rsplit(b">", 1)[1]))
            tally.heads.append(head(f.read(4096).split(b"<binaryDataArrayList")[0]))
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
            tally.add_transitions(element.split(b"</chromatogram>")[0])
    return tally.figures()


class Document:
    """An XML document read once from its start, a piece at a time, for a compressed one: what
    lies before `at` is let go, so that memory holds little more than the element looked at."""

    def __init__(self, f):
        self.f, self.data, self.at = f, bytearray(), 0

    def next(self, *markers: bytes, keep: bool = False) -> tuple[int, bytes | None]:
        """Where the first of `markers` from `at` starts, and which it is; (-1, None) when the
        document ends first. What was read past `at` is let go unless `keep`."""
        start = self.at
        while True:
            found, which = -1, None
            for marker in markers:  # each searched only up to the earliest found so far
                at = self.data.find(marker, start, found + len(marker) - 1 if found >= 0 else len(self.data))
                if at >= 0 and (found < 0 or at < found):
                    found, which = at, marker
            if which is not None:
                return found, which
            start = max(self.at, len(self.data) - max(map(len, markers)) + 1)  # a marker may straddle pieces
            drop = self.at if keep else start
            del self.data[:drop]
            start, self.at = start - drop, self.at - drop if keep else 0
            piece = self.f.read(PIECE)
            if not piece:
                return -1, None
            self.data += piece

    def through(self, at: int, marker: bytes) -> bytes:
        """The text from `at` to the end of the next `marker`; `at` moves past it."""
        self.at = at
        end, _ = self.next(marker, keep=True)
        if end < 0:
            raise ValueError(f"the document ends before {marker.decode()}")
        end += len(marker)
        text = bytes(self.data[self.at:end])
        self.at = end
        return text


def streamed_contents(f) -> dict:
    """The figures of the mzML document read from `f` from start to end, the same as
    indexed_contents gives (the index's offsets are of the document, not of its compressed
    form)."""
    document = Document(f)
    at, which = document.next(b"<run ")
    if which is None:
        raise ValueError("the document has no <run>")
    tally = Tally(attribute(document.through(at, b">"), b"startTimeStamp"))
    markers = (b"<spectrum ", b"<chromatogram ", b"</run>")  # in the order the document has them
    while True:
        at, which = document.next(*markers)
        if which == b"<spectrum ":
            tally.heads.append(head(document.through(at, b"<binaryDataArrayList")))
        elif which == b"<chromatogram ":
            markers = (b"<chromatogram ", b"</run>")  # no spectrum follows
            tag = document.through(at, b">")
            if b' id="SRM SIC ' in tag:
                tally.add_transitions(tag + document.through(document.at, b"</chromatogram>"))
        elif which == b"</run>":
            return tally.figures()
        else:
            raise ValueError("the document ends before </run>")


def table_facts(path: str) -> dict:
    """The facts tavrik-convert keeps in a Parquet table's footer (key-value metadata `tavrik`)."""
    import json
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        f.seek(max(0, size - 8))
        tail = f.read(8)
        length = int.from_bytes(tail[:4], "little")
        if size < 12 or tail[4:] != b"PAR1" or length > size - 12:
            raise ValueError(f"{path} is not a Parquet file")
        f.seek(size - 8 - length)
        footer = f.read(length)
    at = footer.find(b'{"table": ')
    if at < 0:
        raise ValueError(f"{path} has no facts of tavrik's in its footer")
    return json.JSONDecoder().raw_decode(footer[at:].decode("utf-8", "replace"))[0]


def figures(document: str) -> dict:
    """The figures of the document at this path, as far as they can be had (see above)."""
    if document.endswith(".spectra.parquet"):
        facts = table_facts(document)
        return {"scans": facts["spectra"], "acquired": facts["acquired_at"] or ""}
    if document.endswith(".mzML"):
        return indexed_contents(document)
    if document.endswith(".mzML.gz"):
        import gzip
        with gzip.open(document, "rb") as f:
            return streamed_contents(f)
    return {}


def file_facts(path: str, prefix: str) -> dict:
    """The name, size and SHA-1 of a written file, under the columns that begin with `prefix`."""
    with open(path, "rb") as f:
        digest = hashlib.file_digest(f, "sha1").hexdigest()
        size = os.fstat(f.fileno()).st_size
    return {prefix: os.path.basename(path), prefix + "_bytes": size, prefix + "_sha1": digest}


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


def line(row: dict) -> str:
    """A row of the summary (the columns it lacks empty), with its line end."""
    return "\t".join(field(row.get(c)) for c in COLUMNS) + "\n"


def main(argv: list[str]) -> int:
    status, raw, log, record, *outputs = argv[1:]
    with open(log, errors="replace") as f:
        messages = [text.rstrip("\n").removeprefix(f"tavrik-convert: {raw}: ") for text in f]
    row = {"file": os.path.basename(raw), "message": "; ".join(messages)}
    if status == "0":
        absent = [path for path in outputs if not os.path.isfile(path)]
        if absent or not outputs:
            print(f"{raw}: tavrik-convert exited with status 0 but did not write {', '.join(absent) or 'a file'}",
                  file=sys.stderr)
            return 1
        document, *others = outputs
        row |= figures(document) | file_facts(document, "output") | {"status": "ok"}
        for path in others:
            row |= file_facts(path, "points_table" if path.endswith(".points.parquet") else "metadata")
    elif status == "1" and not readable(raw):
        row["status"] = "failed"
    else:  # the converter was killed, or failed on a file that reads: the run is at fault
        print(f"{raw}: tavrik-convert exited with status {status}; its messages are in {log}", file=sys.stderr)
        return 1
    with open(record, "w", newline="") as f:
        f.write(line(row))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
