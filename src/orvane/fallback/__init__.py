"""Pure-Python twins of the compiled modules, used where those do not import
and as the baseline the benchmarks compare against."""
