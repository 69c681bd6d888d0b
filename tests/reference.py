"""The router's documented behaviour written out in plain Python.

The differential tests compare the native module with it, and the benchmarks
use it as their baseline. It shares the module's data (catalogue, tiers,
pattern lists, preferences class) but none of its code.
"""

import logging
import re

from halvec.config import SecretsStore
from halvec.core.model_router import (AVAILABLE_MODELS, Complexity, ModelRoutingConfig,
                                      _COMPLEX_PATTERNS, _SIMPLE_PATTERNS)

logger = logging.getLogger("halvec.model_router")


def classify_complexity(prompt, tool_count=0):
    prompt_lower = prompt.lower().strip()
    if len(prompt_lower) < 20:
        return Complexity.SIMPLE
    for pattern in _COMPLEX_PATTERNS:
        if re.search(pattern, prompt_lower):
            return Complexity.COMPLEX
    for pattern in _SIMPLE_PATTERNS:
        if re.search(pattern, prompt_lower):
            return Complexity.SIMPLE
    word_count = len(prompt_lower.split())
    if word_count > 60 or tool_count > 4:
        return Complexity.COMPLEX
    if word_count > 25 or tool_count > 2:
        return Complexity.MODERATE
    if word_count < 15 and tool_count <= 1:
        return Complexity.SIMPLE
    return Complexity.MODERATE


class ReferenceRouter:
    def __init__(self, config=None, secrets=None):
        self._config = config or ModelRoutingConfig()
        self._secrets = secrets or SecretsStore()
        self._usage_stats = {}

    @property
    def config(self):
        return self._config

    def update_config(self, config):
        self._config = config

    def get_model(self, model_key):
        if model_key not in AVAILABLE_MODELS:
            return None
        spec = AVAILABLE_MODELS[model_key]
        return spec if self._is_available(spec) else None

    def select_for_worker(self, task_description, model_key=None):
        if model_key and model_key != "auto":
            spec = self.get_model(model_key)
            if spec:
                logger.info(f"Worker model (explicit): {spec.display_name} for '{task_description[:50]}'")
                return spec
            logger.warning(f"Requested model '{model_key}' not available, falling back to auto")
        default_key = self._config.default_worker_model
        if default_key and default_key != "auto":
            spec = self.get_model(default_key)
            if spec:
                logger.info(f"Worker model (default): {spec.display_name} for '{task_description[:50]}'")
                return spec
        complexity = classify_complexity(task_description)
        model = self._select_for_complexity(complexity)
        logger.info(f"Worker model (auto [{complexity.value}]): {model.display_name} "
                    f"for '{task_description[:50]}'")
        return model

    def select_for_scheduler(self, job_description, model_key=None):
        if model_key and model_key != "auto":
            spec = self.get_model(model_key)
            if spec:
                return spec
        default_key = self._config.default_scheduler_model
        if default_key and default_key != "auto":
            spec = self.get_model(default_key)
            if spec:
                return spec
        return self._select_for_complexity(classify_complexity(job_description))

    def get_available_models(self):
        result = []
        for key, spec in AVAILABLE_MODELS.items():
            available = self._is_available(spec)
            stats = self._usage_stats.get(key, {"calls": 0, "tokens": 0})
            result.append({
                "key": key, "id": spec.id, "provider": spec.provider,
                "display_name": spec.display_name, "description": spec.description,
                "complexity_tier": spec.complexity_tier.value,
                "enabled": key in self._config.enabled_models, "available": available,
                "cost_per_1k_input": spec.cost_per_1k_input,
                "cost_per_1k_output": spec.cost_per_1k_output,
                "calls": stats["calls"], "tokens": stats["tokens"],
            })
        return result

    def record_usage(self, model_key, tokens=0):
        if model_key not in self._usage_stats:
            self._usage_stats[model_key] = {"calls": 0, "tokens": 0}
        self._usage_stats[model_key]["calls"] += 1
        self._usage_stats[model_key]["tokens"] += tokens

    def get_usage_stats(self):
        return dict(self._usage_stats)

    def get_litellm_model_string(self, spec):
        if spec.provider == "anthropic":
            return f"anthropic/{spec.id}"
        if spec.provider == "openai":
            return f"openai/{spec.id}"
        return spec.id

    def _is_available(self, spec):
        model_key = None
        for key, s in AVAILABLE_MODELS.items():
            if s.id == spec.id:
                model_key = key
                break
        if model_key and model_key not in self._config.enabled_models:
            return False
        return self._secrets.has_key(spec.provider)

    def _select_for_complexity(self, complexity):
        preference_map = {
            Complexity.COMPLEX: ["claude-opus", "claude-sonnet", "gpt-5.2"],
            Complexity.MODERATE: ["claude-sonnet", "claude-haiku", "gpt-5.2"],
            Complexity.SIMPLE: ["claude-haiku", "claude-sonnet", "gpt-5.2"],
        }
        if self._config.cost_conscious:
            preference_map = {
                Complexity.COMPLEX: ["claude-sonnet", "claude-haiku", "gpt-5.2"],
                Complexity.MODERATE: ["claude-haiku", "claude-sonnet", "gpt-5.2"],
                Complexity.SIMPLE: ["claude-haiku", "claude-sonnet", "gpt-5.2"],
            }
        for model_key in preference_map.get(complexity, ["claude-sonnet"]):
            if model_key not in AVAILABLE_MODELS:
                continue
            if model_key not in self._config.enabled_models:
                continue
            spec = AVAILABLE_MODELS[model_key]
            if self._is_available(spec):
                return spec
        return self._get_fallback()

    def _get_fallback(self):
        for key in self._config.enabled_models:
            if key in AVAILABLE_MODELS:
                spec = AVAILABLE_MODELS[key]
                if self._is_available(spec):
                    return spec  # the record tested, not a second read
        return AVAILABLE_MODELS["claude-sonnet"]
