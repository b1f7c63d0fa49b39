#!/usr/bin/env python3
"""Writes a Kivo program of about the requested size (default 1 MB) made of many classes and
functions, for timing the compiler: `generate.py 1000000 > big.kvo; time kv2 big.kvo`."""
import sys

target = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
parts = []
size = 0
n = 0
while size < target:
    chunk = (
        f"class Shape{n} {{ w; h; Shape{n}(a, b); area(); scaled(k); }}\n"
        f"Shape{n}::Shape{n}(a, b) {{ w = a; h = b; }}\n"
        f"Shape{n}::area() {{ return w * h + {n}; }}\n"
        f"Shape{n}::scaled(k) {{ var s = new Shape{n}(w * k, h * k); return s->area(); }}\n"
        f"helper{n}(x, y) {{\n"
        f"    var total = 0;\n"
        f"    for (var i = 0; i < x; i++) {{\n"
        f"        if (i % 3 == 0) total += i * y; else total -= {n};\n"
        f"    }}\n"
        f"    switch (total % 4) {{ case 0: return total; case 1: return -total; default: return {n}; }}\n"
        f"}}\n"
    )
    parts.append(chunk)
    size += len(chunk)
    n += 1
parts.append(f"main() {{ var s = new Shape0(2, 3); return s->area() + helper{n - 1}(3, 2) * 0 - 6; }}\n")
sys.stdout.write("".join(parts))
