"""Small helpers shared by the result layer.

`tuplegetter` lives here by its qualified name, so getters pickle by reference
to this module.
"""

try:
    from orvane.rowkern import tuplegetter
except ImportError:  # pragma: no cover - only without the compiled modules
    from orvane.fallback.rowkern import tuplegetter  # type: ignore[assignment]

__all__ = ["tuplegetter"]
