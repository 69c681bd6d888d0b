"""Host-side configuration: the secrets store the model router asks for API keys."""

import os


class SecretsStore:
    """In-memory store of provider API keys.

    A key counts as stored when it was set here, or when the environment holds a
    non-empty ``<PROVIDER>_API_KEY`` (for example ``ANTHROPIC_API_KEY``).
    """

    def __init__(self):
        self._keys = {}

    def has_key(self, provider):
        if self._keys.get(provider):
            return True
        return bool(os.environ.get(f"{provider.upper()}_API_KEY"))

    def set_key(self, provider, key):
        self._keys[provider] = key

    def delete_key(self, provider):
        self._keys.pop(provider, None)
