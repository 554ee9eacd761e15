// The page's side of the viewer's HTTP interface. Every state-changing call is a
// POST with a JSON body; the answer is the host's state after the call, or a
// one-line refusal that the page shows as it is.

const token = new URLSearchParams(location.search).get('token');
// The token stays out of the history and of what the user copies from the
// address bar; the cookie set with this load carries it on a reload.
if (token) history.replaceState(null, '', location.pathname);

export function requestToken() {
    return token;
}

// The token travels as a header where the address carried it; otherwise the
// cookie set with the first page load does.
function headers(extra) {
    const h = Object.assign({}, extra);
    if (token) h['X-Alignparts-Token'] = token;
    return h;
}

export class RequestError extends Error {
    constructor(path, status, message) {
        super(message);
        this.path = path;
        this.status = status;
    }
}

async function answer(path, response) {
    const text = await response.text();
    const parseStart = performance.now();
    let body = null;
    try {
        body = text ? JSON.parse(text) : null;
    } catch {
        // An answer that is not JSON is a fault of its own; say so below.
    }
    if (!response.ok) {
        const why = body && typeof body.error === 'string' ? body.error : `HTTP ${response.status}`;
        throw new RequestError(path, response.status, why);
    }
    if (body === null) throw new RequestError(path, response.status, 'the answer is not JSON');
    // How long the host spent on it, where it says (Server-Timing: run;dur=..., total;dur=...).
    const timing = {};
    for (const part of (response.headers.get('Server-Timing') || '').split(',')) {
        const m = /^\s*([\w-]+)\s*;\s*dur=([\d.]+)/.exec(part);
        if (m) timing[m[1]] = Number(m[2]);
    }
    timing.parse = performance.now() - parseStart;
    Object.defineProperty(body, 'serverTiming', { value: timing, enumerable: false });
    return body;
}

export async function get(path) {
    const response = await fetch(path, { headers: headers(), cache: 'no-store' });
    return answer(path, response);
}

export async function getBytes(path) {
    const response = await fetch(path, { headers: headers(), cache: 'no-store' });
    if (!response.ok) throw new RequestError(path, response.status, `HTTP ${response.status}`);
    return response.arrayBuffer();
}

// `body` is an object, or a string already written as JSON (numbers kept as typed).
export async function post(path, body = {}, extraHeaders = {}) {
    const isRaw = body instanceof ArrayBuffer || body instanceof Blob;
    const response = await fetch(path, {
        method: 'POST',
        headers: headers(Object.assign(
            { 'Content-Type': isRaw ? 'application/octet-stream' : 'application/json' },
            extraHeaders)),
        body: isRaw || typeof body === 'string' ? body : JSON.stringify(body),
        cache: 'no-store',
    });
    return answer(path, response);
}

// The text of a number field as JSON: the user's own digits where JSON takes
// them as they are (20 stays 20), else the same value re-spelled (".5" -> 0.5).
// Null when the text is not a finite number.
export function numberText(text) {
    const trimmed = String(text).trim();
    if (trimmed === '') return null;
    const value = Number(trimmed);
    if (!Number.isFinite(value)) return null;
    if (/^-?(0|[1-9]\d*)(\.\d+)?([eE][+-]?\d+)?$/.test(trimmed)) return trimmed;
    return String(value);
}

// A channel for one kind of change that the user makes continuously (offsets,
// custom frames, hover previews): one request in flight, and of the values that
// arrive meanwhile only the latest is sent after it. Older values are dropped,
// never reordered after newer ones.
export class LatestWins {
    constructor(send) {
        this.send = send;
        this.inFlight = false;
        this.pending = undefined;
        this.hasPending = false;
    }

    push(value) {
        this.pending = value;
        this.hasPending = true;
        if (!this.inFlight) this.pump();
    }

    get busy() {
        return this.inFlight || this.hasPending;
    }

    async pump() {
        while (this.hasPending) {
            const value = this.pending;
            this.pending = undefined;
            this.hasPending = false;
            this.inFlight = true;
            try {
                await this.send(value);
            } catch (error) {
                // The sender reports its own refusals; nothing may stop the channel.
                console.error(error);
            } finally {
                this.inFlight = false;
            }
        }
    }
}
