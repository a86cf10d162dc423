// HMAC-SHA256 (placeholder).
