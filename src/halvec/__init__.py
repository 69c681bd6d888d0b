"""Halvec agent application: the model router and its host-side helpers."""
