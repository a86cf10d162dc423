"""`make test` runs the suite twice, on asyncio's loop and on uvloop's: check that the second pass
really runs on uvloop, so a green uvloop pass cannot be a second asyncio pass."""
import asyncio

from corvane.http import BaseClient


async def test_suite_runs_on_the_chosen_loop(request, fake_server, session):
    loop = asyncio.get_running_loop()
    wanted = "uvloop" if request.config.getoption("--uvloop") else "asyncio"
    assert type(loop).__module__.split(".")[0] == wanted
    assert await BaseClient(session=session).get(fake_server.url("/x")) == {}
