"""Mistakes that the stubs must catch: each line marked "error" must fail mypy --strict."""
from corvane import Facebook, Instagram, normalize


async def mistakes(fb: Facebook, page_token: str) -> None:
    lead = await fb.lead("1", page_token)
    context = await fb.ad_context(lead.ad_id, page_token)
    print(context["campain_name"])  # error: misspelled key
    print(lead.field_data[0]["vaules"])  # error: misspelled key
    Facebook(app_id="1", app_secret="s", timeuot=5)  # error: misspelled option
    await fb.leads("1", page_token, limit=None)  # error: limit is an int
    normalize([{"name": "email", "values": ["a@b.c"]}]).emial  # error: no such field
    print([post["mesage"] for post in await fb.posts("1", page_token)])  # error: misspelled key


async def instagram_mistakes(ig: Instagram, token: str) -> None:
    print((await ig.publish(token, image_url="https://x"))["media"])  # error: misspelled key
    print((await ig.demographics(token))["age"])  # error: no such breakdown
    Instagram.via_facebook(app_secret="s", timout=3)  # error: misspelled option
    async for conv in ig.iter_conversations(token):
        print(conv["contact"]["username"])  # error: contact may be None
