"""corvane: asynchronous Graph API (Facebook Pages, Lead Ads, Instagram) and LinkedIn API
clients, with Meta webhook verification and Lead Ads normalisation, written in C++.

Import the module you need (``corvane.facebook``, ``corvane.webhooks``, ...); this package
imports nothing eagerly, so a webhook-only host never loads the HTTP stack.
"""


def __getattr__(name: str) -> str:
    # The version lives in meson.build alone; the installed metadata carries it here.
    if name == "__version__":
        from importlib.metadata import version

        return version("corvane")
    raise AttributeError(f"module 'corvane' has no attribute {name!r}")
