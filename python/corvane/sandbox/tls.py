"""Certificates for the emulated hosts, made at start by a throw-away CA, and an aiohttp
session whose resolver sends those hosts to the sandbox's loopback port."""
from __future__ import annotations

import socket
import ssl
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import aiohttp
import trustme
from aiohttp.abc import AbstractResolver

if TYPE_CHECKING:  # aiohttp names the type from 3.10 on
    from aiohttp.abc import ResolveResult


class Certificates:
    def __init__(self, hosts: Iterable[str]) -> None:
        self.ca = trustme.CA(organization_name="corvane sandbox")
        self._cert = self.ca.issue_cert(*hosts)

    def server_context(self) -> ssl.SSLContext:
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        self._cert.configure_cert(ctx)
        return ctx

    def client_context(self) -> ssl.SSLContext:
        ctx = ssl.create_default_context()
        self.ca.configure_trust(ctx)
        return ctx


class SandboxResolver(AbstractResolver):
    """Resolves the emulated hosts to the sandbox. Any other name but loopback is refused, so
    code running against the sandbox can never reach the real platforms by mistake."""

    _LOOPBACK = frozenset({"localhost", "127.0.0.1", "::1"})

    def __init__(self, hosts: Iterable[str], port: int) -> None:
        self.hosts = frozenset(hosts)
        self.port = port

    async def resolve(self, host: str, port: int = 0,
                      family: socket.AddressFamily = socket.AF_INET) -> list[ResolveResult]:
        if host in self.hosts:
            target, port = "127.0.0.1", self.port
        elif host in self._LOOPBACK:
            target = "127.0.0.1"
        else:
            raise OSError(f"sandbox: {host} is not emulated and the network is off limits")
        return [{"hostname": host, "host": target, "port": port, "family": socket.AF_INET,
                 "proto": 0, "flags": socket.AI_NUMERICHOST}]

    async def close(self) -> None:
        pass


def make_session(certs: Certificates, hosts: Iterable[str], port: int, **kwargs: Any) -> aiohttp.ClientSession:
    connector = aiohttp.TCPConnector(resolver=SandboxResolver(hosts, port),
                                     ssl=certs.client_context(), use_dns_cache=False)
    kwargs.setdefault("trust_env", False)  # a proxy from the environment would leave loopback
    return aiohttp.ClientSession(connector=connector, **kwargs)
