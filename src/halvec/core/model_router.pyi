"""Model Router — Coordinator-centric model selection for workers."""

import logging
import re as re
from dataclasses import dataclass as dataclass, field as field
from enum import Enum as Enum
from typing import Any as Any

from halvec.config import SecretsStore as SecretsStore

logger: logging.Logger

class Complexity(str, Enum):
    SIMPLE = "simple"
    MODERATE = "moderate"
    COMPLEX = "complex"

@dataclass
class ModelSpec:
    id: str
    provider: str
    display_name: str
    complexity_tier: Complexity
    description: str = ""
    max_tokens: int = 4096
    supports_tools: bool = True
    supports_vision: bool = True
    cost_per_1k_input: float = 0.0
    cost_per_1k_output: float = 0.0

AVAILABLE_MODELS: dict[str, ModelSpec]
_COMPLEX_PATTERNS: list[str]
_SIMPLE_PATTERNS: list[str]

def classify_complexity(prompt: str, tool_count: int = 0) -> Complexity: ...

@dataclass
class ModelRoutingConfig:
    enabled_models: list[str] = ...
    cost_conscious: bool = False
    default_worker_model: str = "auto"
    default_scheduler_model: str = "auto"
    def to_dict(self) -> dict[str, Any]: ...
    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> ModelRoutingConfig: ...

class ModelRouter:
    _config: ModelRoutingConfig
    _secrets: SecretsStore
    _usage_stats: dict[str, dict[str, int]]
    def __init__(self, config: ModelRoutingConfig | None = None, secrets: SecretsStore | None = None) -> None: ...
    @property
    def config(self) -> ModelRoutingConfig: ...
    def update_config(self, config: ModelRoutingConfig) -> None: ...
    def get_model(self, model_key: str) -> ModelSpec | None: ...
    def select_for_worker(self, task_description: str, model_key: str | None = None) -> ModelSpec: ...
    def select_for_scheduler(self, job_description: str, model_key: str | None = None) -> ModelSpec: ...
    def get_available_models(self) -> list[dict[str, Any]]: ...
    def record_usage(self, model_key: str, tokens: int = 0) -> None: ...
    def get_usage_stats(self) -> dict[str, dict[str, int]]: ...
    def get_litellm_model_string(self, spec: ModelSpec) -> str: ...
    def _is_available(self, spec: ModelSpec) -> bool: ...
    def _select_for_complexity(self, complexity: Complexity) -> ModelSpec: ...
    def _get_fallback(self) -> ModelSpec: ...
