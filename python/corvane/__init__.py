"""corvane: asynchronous Graph API (Facebook Pages, Lead Ads, Instagram) and LinkedIn API
clients, with Meta webhook verification and Lead Ads normalisation, written in C++.

The everyday names can be taken from the package itself::

    from corvane import Facebook, normalize, parse_events, verify_request

Each is imported from its module (``corvane.facebook``, ``corvane.webhooks``, ...) the first
time it is asked for, not before: ``import corvane`` loads no extension module and no aiohttp,
so a webhook-only host never pays for the HTTP stack.
"""

from importlib import import_module as _import_module

# Public name -> the module that defines it. Order is the order of __all__ and dir().
_NAMES: dict[str, str] = {
    # The clients and what configures them.
    "Facebook": "corvane.facebook",
    "Instagram": "corvane.instagram",
    "LinkedIn": "corvane.linkedin",
    "BaseClient": "corvane.http",
    "RetryPolicy": "corvane.http",
    # Webhooks, without a client.
    "verify_challenge": "corvane.webhooks",
    "verify_request": "corvane.webhooks",
    "parse_events": "corvane.webhooks",
    "dedupe_key": "corvane.webhooks",
    "WebhookEvent": "corvane.webhooks",
    # Lead normalisation.
    "normalize": "corvane.leads",
    "NormalizedLead": "corvane.leads",
    # Result records.
    "TokenBundle": "corvane.models",
    "Profile": "corvane.models",
    "Page": "corvane.models",
    "LeadForm": "corvane.models",
    "Lead": "corvane.models",
    # Error kinds.
    "CorvaneError": "corvane.errors",
    "ApiError": "corvane.errors",
    "AuthError": "corvane.errors",
    "PermissionError": "corvane.errors",
    "NotFoundError": "corvane.errors",
    "RateLimitError": "corvane.errors",
    "TransportError": "corvane.errors",
    "ConfigurationError": "corvane.errors",
}

# `from corvane import *` leaves out PermissionError: it would hide the builtin of that name in
# the importing module. `corvane.PermissionError` and `from corvane import PermissionError`
# still work.
__all__ = [name for name in _NAMES if name != "PermissionError"]


def __getattr__(name: str) -> object:
    # The version lives in meson.build alone; the installed metadata carries it here.
    if name == "__version__":
        from importlib.metadata import version

        return version("corvane")
    module = _NAMES.get(name)
    if module is None:
        raise AttributeError(f"module 'corvane' has no attribute {name!r}")
    value = getattr(_import_module(module), name)
    # Kept, so that later look-ups no longer come through here.
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_NAMES) | {"__version__"})
