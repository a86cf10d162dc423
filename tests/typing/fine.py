"""What a host writes: it must pass mypy --strict without a cast or an ignore."""
from corvane import Facebook, Instagram, LinkedIn, RetryPolicy, normalize, parse_events


async def host(fb: Facebook, li: LinkedIn, user_token: str, body: bytes) -> None:
    for page in await fb.pages(user_token):
        await fb.subscribe_page(page.id, page.access_token)
        for form in await fb.lead_forms(page.id, page.access_token):
            for lead in await fb.leads(form.id, page.access_token, limit=50):
                context = await fb.ad_context(lead.ad_id, user_token)
                campaign: str | None = context.get("campaign_name")
                answers = [item.get("values", []) for item in lead.field_data]
                print(campaign, answers, normalize(lead.field_data).as_dict())
    created = await li.create_post(user_token, "urn:li:person:1", "Hi", visibility="CONNECTIONS")
    if created["id"] is not None:
        deleted = await li.delete_post(user_token, created["id"])
        assert deleted["deleted"]
    for event in parse_events({"object": "page", "entry": []}):
        print(event.key, event.leadgen_id)
    Facebook(app_id="1", app_secret="s", timeout=5, retry=RetryPolicy(attempts=1))


async def inbox(ig: Instagram, token: str) -> None:
    page = await ig.conversations(token, limit=10)
    for conversation in page.get("data", []):
        history = await ig.messages(conversation["id"], token)
        print(conversation["contact"], conversation["last_message"], history)
    totals = (await ig.insights(token))["metrics"]
    ages = (await ig.demographics(token))["age,gender"]
    published = await ig.publish(token, image_url="https://crm.example/a.jpg")
    print(totals, ages.get("values"), published["media_id"])
    async for conv in ig.iter_conversations(token):
        if conv["contact"] is not None and conv["contact"].get("available"):
            print(conv["contact"].get("username"))
        async for message in ig.iter_messages(conv["id"], token):
            print(message.get("from", {}).get("username"), message.get("message"))


async def page_content(fb: Facebook, user_token: str) -> None:
    for page in await fb.pages(user_token):
        account = page.instagram_business_account
        if account is not None:
            print(account.get("username"), account.get("followers_count", 0) + 1)
        for post in await fb.posts(page.id, page.access_token):
            print(post.get("message"), post.get("reactions", {}).get("summary", {}).get("total_count"))
