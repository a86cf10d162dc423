// Shared Graph client logic (placeholder).
