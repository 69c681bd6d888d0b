"""Chat records (``"messages"``, as chat APIs take them): the description a record gives,
and the input tokens its whole conversation is estimated at."""

from __future__ import annotations

import json
from typing import Any, Final, cast

from halvec.workload.json_values import describe, show_name

__all__ = ["conversation_tokens", "last_user_message"]


def last_user_message(messages: Any) -> tuple[str | None, str]:
    """A chat record's description: the text of its last message from the user that holds
    text (its content, or the texts of its parts of type "text", joined by line breaks); else
    None and why. A user message whose parts hold no text (an image alone, a tool's result)
    is passed over for the one before it."""
    if not isinstance(messages, list):
        return None, f"\"messages\" is {describe(messages)}, not a list of messages"
    last = True
    without: list[str] = []  # the kinds of part of the last user message, when it holds no text
    for message in reversed(messages):
        if not isinstance(message, dict) or message.get("role") != "user":
            continue
        content = message.get("content")
        if isinstance(content, str):
            return content, ""
        which = "the last user message" if last else "a user message"
        if not isinstance(content, list):
            return None, (f"{which} of \"messages\" has {describe(content)} as its \"content\", not a text "
                          f"or a list of parts")
        texts = [part.get("text") for part in content if isinstance(part, dict) and part.get("type") == "text"]
        if not all(isinstance(text, str) for text in texts):
            return None, f"{which} of \"messages\" has a part of type \"text\" whose \"text\" is not a text"
        if texts:
            return "\n".join(cast(list[str], texts)), ""
        if last:
            without = sorted({str(part.get("type")) if isinstance(part, dict) else describe(part)
                              for part in content})
        last = False
    if last:
        return None, "no message of \"messages\" has the role \"user\": no description"
    parts = f"only parts of type {', '.join(map(show_name, without))}" if without else "no parts"
    return None, f"no user message of \"messages\" holds text (the last holds {parts}): no description"


def conversation_tokens(record: dict[str, Any]) -> int:
    """The input tokens of a chat record, estimated as a description's are (UTF-8 bytes / 4,
    rounded up) from all the text it sends the model: its ``"system"`` prompt, every message's
    text (a tool call's arguments and a tool's result included) and its ``"tools"``
    definitions (as compact JSON). Images, audio and files are not text, and not counted."""
    size = _text_size(record.get("system"))
    messages = record.get("messages")
    if isinstance(messages, list):
        for message in messages:
            if isinstance(message, dict):
                size += _text_size(message.get("content"))
                calls = message.get("tool_calls")
                if isinstance(calls, list):
                    size += sum(_text_size(call.get("function", {}).get("arguments")) for call in calls
                                if isinstance(call, dict) and isinstance(call.get("function"), dict))
    tools = record.get("tools")
    if isinstance(tools, list) and tools:
        size += _json_size(tools)
    return (size + 3) // 4


_PARTS_DEPTH: Final = 4


def _text_size(content: Any, depth: int = 0) -> int:
    """The UTF-8 bytes of the text in a message's content: a text, or the parts of a list
    that hold one (``"text"``; a tool's result, ``"content"``, a few levels deep; a tool
    call's ``"input"``, as JSON)."""
    if isinstance(content, str):
        return len(content) if content.isascii() else len(content.encode("utf-8", "surrogatepass"))
    if not isinstance(content, list) or depth > _PARTS_DEPTH:
        return 0
    size = 0
    for part in content:
        if isinstance(part, dict):
            size += _text_size(part.get("text")) + _text_size(part.get("content"), depth + 1)
            if isinstance(part.get("input"), dict):
                size += _json_size(part["input"])
    return size


def _json_size(value: Any) -> int:
    """The UTF-8 bytes of ``value`` as compact JSON (0 for what JSON cannot write)."""
    try:
        return _text_size(json.dumps(value, ensure_ascii=False, separators=(",", ":")))
    except (ValueError, TypeError, RecursionError):
        return 0
