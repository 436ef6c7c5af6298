"""Write a few catalog files, read them on a local two-worker Dask cluster, print an aggregate.

    pip install 'varnex[dask]'
    python examples/dask_catalogs.py

Each file is one partition, turned into a table by varnex in a worker process; one of the
files is gzip-compressed. With a real cluster, give read_xml a remote glob instead
("s3://bucket/catalogs/*.xml.gz", with s3fs installed) and connect the Client to it.
"""

from __future__ import annotations

import gzip
import random
import tempfile
from pathlib import Path

import varnex.dask
from distributed import Client, LocalCluster

LANGS = ("en", "en", "de", "fr", "es")
TAGS = ("fiction", "history", "science", "travel", "poetry")


def catalog(seed: int, books: int) -> bytes:
    rng = random.Random(seed)
    parts = ["<catalog>"]
    for i in range(books):
        tags = "".join(f"<tag>{t}</tag>" for t in rng.sample(TAGS, rng.randint(0, 2)))
        parts.append(
            f'<book id="bk{seed}-{i}" lang="{rng.choice(LANGS)}">'
            f"<title>Book {i}</title><price>{rng.randint(100, 5000) / 100:.2f}</price>"
            f"<tags>{tags}</tags></book>")
    parts.append("</catalog>")
    return "\n".join(parts).encode()


def write_catalogs(folder: Path, files: int = 4, books: int = 20_000) -> None:
    for seed in range(files):
        doc = catalog(seed, books)
        if seed == files - 1:
            (folder / f"catalog-{seed}.xml.gz").write_bytes(gzip.compress(doc))
        else:
            (folder / f"catalog-{seed}.xml").write_bytes(doc)


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        write_catalogs(Path(folder))
        with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster):
            books = varnex.dask.read_xml(
                f"{folder}/catalog-*", "catalog.book.#",
                {"id": "@id", "lang": ("@lang", "dictionary"), "price": ("price", "float64"),
                 "tags": "tags.tag.#"})
            by_lang = books.groupby("lang").price.agg(["count", "mean"]).compute()
            print(f"{books.npartitions} files, {int(by_lang['count'].sum())} books")
            print(by_lang.sort_index().round(2))


if __name__ == "__main__":  # the worker processes import this module again
    main()
