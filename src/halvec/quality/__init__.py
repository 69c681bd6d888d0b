"""Routing quality: how good a router's choices between a strong and a weak model are, or among
many priced models, measured on prompts whose results with the models are known.

:mod:`halvec.quality.metrics` holds the two-model measures (the quality curve, APGR, CPT, PGR at
an operating point and APGR's bootstrap interval); :mod:`halvec.quality.outcomes` reads outcome
files; ``halvec bench`` reports them for the default rules, a word count, a fitted router and
the baselines. :mod:`halvec.quality.models` measures routers among many models (frontiers,
hulls, AIQ, cost to reach; :mod:`halvec.quality.frontier` defines them), costed by
:mod:`halvec.quality.costs`.
"""
