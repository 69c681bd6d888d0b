"""Host-side configuration: the secrets store the model router asks for API keys."""

import os


class SecretsStore:
    """In-memory store of provider API keys.

    A key counts as stored when it was set here, or when the environment holds a
    non-empty ``<PROVIDER>_API_KEY`` (for example ``ANTHROPIC_API_KEY``).
    """

    def __init__(self) -> None:
        self._keys: dict[str, str] = {}

    def has_key(self, provider: str) -> bool:
        """Whether an API key for ``provider`` is stored here or in the environment."""
        if self._keys.get(provider):
            return True
        return bool(os.environ.get(f"{provider.upper()}_API_KEY"))

    def set_key(self, provider: str, key: str) -> None:
        """Stores ``key`` as the API key of ``provider``, replacing any earlier one."""
        self._keys[provider] = key

    def delete_key(self, provider: str) -> None:
        """Forgets the key stored here for ``provider`` (the environment is left alone)."""
        self._keys.pop(provider, None)
