// The deck server's HTTP API (same origin): folder listings and audio bytes.

export const mediaUrl = (path) => `/media?path=${encodeURIComponent(path)}`;

export class ListError extends Error {
  constructor(status, code) {
    super(code);
    this.status = status;
  }
}

export async function listFolder(dir, { recursive = false, depth } = {}) {
  let q = `dir=${encodeURIComponent(dir)}`;
  if (recursive) q += '&recursive=1';
  if (depth !== undefined) q += `&depth=${depth}`;
  const res = await fetch(`/api/list?${q}`, { cache: 'no-store' });
  const body = await res.json().catch(() => ({}));
  if (!res.ok) throw new ListError(res.status, body.error || 'error');
  return body;
}
