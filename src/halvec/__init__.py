"""Halvec agent application: the model router and its host-side helpers."""

__version__: str = "0.1.0"
