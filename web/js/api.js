// The bridge's client API as the page uses it: the login cookie (set by the server, never read
// here), one session, operations and the session's event stream. Same origin only.

export class ApiError extends Error {
  constructor(status, message, http) {
    super(message || status);
    this.status = status; // the 8-digit status code, upper case
    this.http = http;
  }
  // The login (or its session) has ended: sign in again.
  get expired() {
    return this.http === 401 || this.status === 'C0000006' || this.status === 'C0050017';
  }
}

// The most operations the page puts in one batch request.
const BATCH = 2000;

function failed(status) {
  return typeof status !== 'string' || (parseInt(status, 16) & 0x80000000) !== 0;
}

async function postJson(url, body, headers = {}) {
  const reply = await fetch(url, {
    method: 'POST',
    credentials: 'same-origin',
    headers: { 'Content-Type': 'application/json', ...headers },
    body: JSON.stringify(body),
  });
  let json;
  try {
    json = await reply.json();
  } catch {
    throw new ApiError('C0050001', 'the bridge answered something that is not JSON', reply.status);
  }
  const status = String(json.status || '').toUpperCase();
  if (reply.status !== 200 || failed(status)) {
    const why = (json.error && json.error.description) || json.statusName || `HTTP ${reply.status}`;
    const error = new ApiError(status, why, reply.status);
    error.retryAfter = json.retryAfter;
    throw error;
  }
  return json;
}

export class Bridge {
  constructor() {
    this.session = null;
    this.server = null; // the server object's handle
    this.source = null;
    this.onExpired = () => {};
  }

  // A person's login; resolves to {user, role, expiresIn}.
  login(user, code) {
    return postJson('/api/v1/login', { user, code });
  }

  // Renews the cookie's login (15 more minutes); rejects when it has ended or there is none.
  renew() {
    return postJson('/api/v1/login', {});
  }

  async logout() {
    this.closeEvents();
    if (this.session) await this.op({ op: 'close' }).catch(() => {});
    this.session = null;
    this.server = null;
    await postJson('/api/v1/logout', {}).catch(() => {});
  }

  async open() {
    this.session = null;
    const s = await postJson('/api/v1/automation', { op: 'session' });
    this.session = s.session;
    const created = await this.op({ op: 'create', class: 'Corvane.ZelServer' });
    this.server = created.result.object;
    return this.server;
  }

  async op(body) {
    try {
      return await postJson('/api/v1/automation', body, { 'X-Zel-Session': this.session });
    } catch (e) {
      if (e instanceof ApiError && e.expired) this.onExpired(e);
      throw e;
    }
  }

  // A property or method's result (the variant, with "age" beside it when the server gives one).
  async get(object, member, args) {
    const body = { op: 'call', object, member };
    if (args) body.args = args;
    const reply = await this.op(body);
    const result = reply.result || { vt: 0 };
    if ('age' in reply) result.age = reply.age;
    return result;
  }

  async value(object, member, args) {
    const v = await this.get(object, member, args);
    return v.value;
  }

  // Runs many operations in one request; resolves to their replies, in order.
  async batch(ops) {
    const replies = [];
    for (let i = 0; i < ops.length; i += BATCH) {
      const reply = await this.op({ op: 'batch', ops: ops.slice(i, i + BATCH) });
      replies.push(...reply.replies);
    }
    return replies;
  }

  // The members of each object, read in one go: one {member: result} per handle (a member that
  // failed is missing; each result has its "age" beside it when the server gives one).
  async readMany(handles, members) {
    const ops = [];
    for (const object of handles) {
      for (const member of members) ops.push({ op: 'get', object, member });
    }
    const replies = await this.batch(ops);
    return handles.map((_, i) => {
      const values = {};
      members.forEach((member, j) => {
        const r = replies[i * members.length + j];
        if (r && r.http === 200 && !failed(String(r.status).toUpperCase())) {
          values[member] = { ...(r.result || { vt: 0 }), ...('age' in r ? { age: r.age } : {}) };
        }
      });
      return values;
    });
  }

  async read(handle, members) {
    return (await this.readMany([handle], members))[0];
  }

  // One of the server's collections: its handle and how many elements it has.
  async collection(name) {
    const handle = (await this.get(this.server, name)).object;
    return { handle, count: (await this.value(handle, 'Count')) || 0 };
  }

  // The elements Item(from) to Item(to) of a collection, in order.
  async itemRange(collection, from, to) {
    const ops = [];
    for (let i = from; i <= to; i++) {
      ops.push({ op: 'call', object: collection, member: 'Item', args: [i] });
    }
    const replies = await this.batch(ops);
    return replies.map((r) => r.result && r.result.object).filter(Boolean);
  }

  // The elements of one of the server's collections, in order (Item(1) to Item(Count)).
  async items(name) {
    const { handle, count } = await this.collection(name);
    return this.itemRange(handle, 1, count);
  }

  // The elements of a collection with their values, read in two parts: the first `first`
  // elements (a screenful), then the rest, so that the server answers the first part without
  // the rest slowing it down. Resolves to an array of two promises, each of {handles, values}
  // (readMany's).
  async partsOf(name, members, first) {
    const { handle, count } = await this.collection(name);
    const part = async (from, to) => {
      const handles = from <= to ? await this.itemRange(handle, from, to) : [];
      return { handles, values: await this.readMany(handles, members) };
    };
    const head = part(1, Math.min(first, count));
    return [head, head.then(() => part(first + 1, count))];
  }

  call(object, member, args = []) {
    return this.op({ op: 'call', object, member, args });
  }

  // Connects the session to the server's events and opens the stream; onEvent gets each event.
  async listen(onEvent, onTrouble) {
    await this.op({ op: 'advise', object: this.server });
    this.closeEvents();
    const source = new EventSource(`/api/v1/events?session=${encodeURIComponent(this.session)}`);
    source.onmessage = (m) => {
      let event;
      try {
        event = JSON.parse(m.data);
      } catch {
        return;
      }
      event.received = performance.now();
      event.receivedAt = Date.now(); // wall clock, to compare with other readers of the bridge
      onEvent(event);
    };
    source.onerror = () => onTrouble(source.readyState);
    this.source = source;
  }

  closeEvents() {
    if (this.source) this.source.close();
    this.source = null;
  }
}

// Runs fn over items with at most `width` requests in flight (the browser keeps six connections
// to one origin, one of them for the event stream).
export async function inParallel(items, width, fn) {
  const results = new Array(items.length);
  let next = 0;
  async function lane() {
    while (next < items.length) {
      const i = next++;
      results[i] = await fn(items[i], i);
    }
  }
  await Promise.all(Array.from({ length: Math.min(width, items.length) }, lane));
  return results;
}
