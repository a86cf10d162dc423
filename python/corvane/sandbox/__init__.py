"""An offline stand-in for the platforms the library talks to, served over TLS on loopback.

    async with Sandbox() as sb:
        fb = Facebook(app_id=sb.app_id, app_secret=sb.app_secret, session=sb.session())
        link = fb.login_url(redirect_uri="https://crm.example/cb", state="s")
        code = ...  # sb.consent(link) is where the browser would be sent back to
"""
from .server import HOSTS, Delivery, Sandbox
from .usage import Strictness, Usage
from .world import World

__all__ = ("HOSTS", "Delivery", "Sandbox", "Strictness", "Usage", "World")
