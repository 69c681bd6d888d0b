"""The routing preferences written out in plain Python, for the benchmark only.

The differential tests compare the router with tests/reference.py, which uses
the module's own preferences class; timing that class's dictionary form needs
a plain-Python twin of it, which this is (and, compiled, its Cython twin).
"""

from dataclasses import dataclass, field
from typing import Any


@dataclass
class RoutingPreferences:
    enabled_models: list[str] = field(
        default_factory=lambda: ["claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2"])
    cost_conscious: bool = False
    default_worker_model: str = "auto"
    default_scheduler_model: str = "auto"

    def to_dict(self) -> dict[str, Any]:
        return {
            "enabled_models": self.enabled_models,
            "cost_conscious": self.cost_conscious,
            "default_worker_model": self.default_worker_model,
            "default_scheduler_model": self.default_scheduler_model,
        }

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> "RoutingPreferences":
        return cls(**{k: v for k, v in data.items() if k in cls.__dataclass_fields__})
