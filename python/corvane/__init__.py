"""corvane: asynchronous Graph API (Facebook Pages, Lead Ads, Instagram) and LinkedIn API
clients, with Meta webhook verification and Lead Ads normalisation, written in C++.

Import the module you need (``corvane.facebook``, ``corvane.webhooks``, ...); this package
imports nothing eagerly, so a webhook-only host never loads the HTTP stack.
"""

__version__ = "0.1.0"
