-- Why a Page's token stopped working (expired, password changed, app removed): its events
-- wait until the Page is connected again. NULL while the token works.
ALTER TABLE pages ADD COLUMN needs_reconnect TEXT;
