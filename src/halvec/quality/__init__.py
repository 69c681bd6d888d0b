"""Routing quality: how good a router's choices between a strong and a weak model are, measured
on prompts whose results with both models are known.

:mod:`halvec.quality.metrics` holds the measures (the quality curve, APGR, CPT, PGR at an
operating point and APGR's bootstrap interval); :mod:`halvec.quality.outcomes` reads outcome
files; ``halvec bench`` reports them for the default rules, a word count, a fitted router and
the baselines.
"""
