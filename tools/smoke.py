"""Smoke test of an installed wheel, run from outside the checkout: the
compiled flavour is the one chosen, the README's first example runs, and a
fetch through Result gives the declared types.

    python tools/smoke.py README.md
"""

import datetime
import decimal
import pathlib
import re
import sqlite3
import sys

import orvane
from orvane import flavours
from orvane.results import Numeric, Result

try:
    flavours.compiled()
except ImportError as error:
    sys.exit(f"smoke: the compiled modules do not import: {error}")
flavour = flavours.preferred()
assert flavour.name == "compiled", f"the {flavour.name} flavour was chosen"

readme = pathlib.Path(sys.argv[1]).read_text()
example = re.search(r"```python\n(.*?)```", readme, re.S)
assert example is not None, "the README has no Python example"
exec(compile(example.group(1), "README.md", "exec"), {})

connection = sqlite3.connect(":memory:")
connection.execute("create table t (id integer, at text, amount text, paid integer)")
connection.executemany("insert into t values (?, ?, ?, ?)", [(n, f"2024-01-{n % 28 + 1:02} 10:00:00", f"{n}.005", n % 2) for n in range(2000)])
types = {"at": datetime.datetime, "amount": Numeric(2, round=True), "paid": bool}
rows = Result(connection.execute("select * from t"), types).fetchall()
assert len(rows) == 2000 and type(rows[0]) is flavour.row_class
assert rows[1999] == (1999, datetime.datetime(2024, 1, 12, 10), decimal.Decimal("1999.00"), True), rows[1999]
print(f"smoke: orvane {orvane.__version__}, {flavour.name} flavour, {sys.implementation.cache_tag}: ok")
