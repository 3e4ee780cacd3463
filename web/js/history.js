// The history: the controller's stored event log, newest first, a page at a time, filtered by
// kind and area, with the events of this visit added at the top as they arrive, and an export
// of what the filter selects as CSV.
import { ApiError } from './api.js';
import { $, el } from './dom.js';
import { areaModeText, dateText } from './words.js';

export const PAGE_SIZE = 20;

// The log's classes: the kind a person filters by and the properties that describe an entry.
const CLASSES = {
  CZelArmEvent: { kind: 'arming', props: ['AllAreas', 'Area', 'SecurityMode', 'Code'] },
  CZelBypassEvent: { kind: 'bypass', props: ['Mode', 'Zone', 'Code'] },
  CZelRestoreEvent: { kind: 'restore', props: ['AllZones', 'Zone', 'Code'] },
  CZelTroubleEvent: { kind: 'trouble', props: ['TroubleType', 'Zone'] },
  CZelAccessEvent: { kind: 'access', props: ['Code'] },
  CZelAlarmEvent: { kind: 'alarm', props: ['AlarmType', 'Mode', 'Area'] },
  CZelMessageEvent: { kind: 'message', props: ['Message'] },
  CZelEvent: { kind: 'other', props: [] },
};

export const KINDS = [
  ['', 'All kinds'], ['arming', 'Arming and disarming'], ['bypass', 'Bypass'],
  ['restore', 'Restore'], ['trouble', 'Trouble'], ['alarm', 'Alarm'], ['access', 'Access'],
  ['message', 'Messages'], ['system', 'Live system events'], ['other', 'Other'],
];

const hex = (n) => `0x${Number(n).toString(16).toUpperCase().padStart(2, '0')}`;

// The text of a property value: an object by its name, a number or text as it is.
function nameOf(v, names) {
  if (!v) return '';
  if (v.vt === 9) return v.name || names.get(v.object)?.name || '';
  return v.value ?? '';
}

// An entry's sentence, from its class and properties ({Name: variant}).
export function describeEntry(cls, type, p, names) {
  const who = nameOf(p.Code, names);
  const by = who ? ` by ${who}` : '';
  const zone = p.AllZones?.value ? 'All zones' : nameOf(p.Zone, names) || 'A zone';
  const area = p.AllAreas?.value || p.Area?.class === 'CZelAreas'
    ? 'All areas' : nameOf(p.Area, names) || 'An area';
  switch (cls) {
    case 'CZelArmEvent': {
      const mode = p.SecurityMode?.value ?? 0;
      return mode === 0 ? `${area} disarmed${by}` : `${area} ${areaModeText(mode).toLowerCase()}${by}`;
    }
    case 'CZelBypassEvent':
      return `${zone} bypassed${p.Mode?.value ? ' automatically' : ''}${by}`;
    case 'CZelRestoreEvent':
      return `${zone} restored${by}`;
    case 'CZelTroubleEvent':
      return `${zone}: trouble (kind ${p.TroubleType?.value ?? '?'})`;
    case 'CZelAccessEvent':
      return `Access${by}`;
    case 'CZelAlarmEvent':
      return `Alarm in ${area} (type ${p.AlarmType?.value ?? '?'})`;
    case 'CZelMessageEvent':
      return `Message: ${nameOf(p.Message, names) || 'a message'}`;
    default:
      return `Event of type ${hex(type)}`;
  }
}

// A live system event's sentence: what changed, with the names it carries.
export function describeSystemEvent(member, p, names) {
  const what = member.replace(/^OnSystem/, '').replace(/([a-z])([A-Z])/g, '$1 $2');
  const parts = [];
  for (const key of ['Zone', 'Unit', 'Area', 'Button', 'Message', 'Code']) {
    const n = nameOf(p[key], names);
    if (n) parts.push(n);
  }
  if (p.State && typeof p.State.value === 'number') parts.push(`state ${p.State.value}`);
  if (p.Mode && typeof p.Mode.value === 'number' && member.includes('Arming')) {
    parts.push(areaModeText(p.Mode.value).toLowerCase());
  }
  return `${what}${parts.length ? ': ' + parts.join(', ') : ''}`;
}

function timeText(t) {
  if (!t) return '';
  return t.vt === 7 ? dateText(t.value) : String(t.value ?? '');
}

function csvField(s) {
  const text = String(s ?? '');
  return /[",\n\r]/.test(text) ? `"${text.replace(/"/g, '""')}"` : text;
}

export function toCsv(entries) {
  const lines = [['Index', 'Time', 'Kind', 'Description', 'Areas'].join(',')];
  for (const e of entries) {
    lines.push([e.index ?? '', e.time, e.kind, e.text, [...e.areas].join(' ')].map(csvField).join(','));
  }
  return lines.join('\r\n') + '\r\n';
}

export class History {
  // page: {bridge, names: Map(handle -> {name, id, areaId}), areaOptions(), release(handles)}
  constructor(page) {
    this.page = page;
    this.bridge = page.bridge;
    this.reset();
  }

  reset() {
    this.log = null; // the Events collection's handle
    this.count = 0;
    this.next = 0; // the next older index to read (0: none left)
    this.stored = []; // entries read from the log, newest first
    this.live = []; // entries of this visit, newest first
    this.seenIndexes = new Set();
    this.pageNo = 0;
    this.loading = null;
  }

  async open() {
    if (!this.log) {
      this.log = (await this.bridge.get(this.bridge.server, 'Events')).object;
      this.count = await this.bridge.value(this.log, 'Count');
      this.next = this.count;
    }
    this.fillAreas();
    await this.render();
  }

  fillAreas() {
    const s = $('history-area');
    const keep = s.value;
    s.replaceChildren(el('option', { value: '', text: 'All areas' }));
    for (const a of this.page.areaOptions()) s.append(el('option', { value: a.id, text: a.name }));
    s.value = keep;
  }

  filter() {
    const kind = $('history-kind').value;
    const area = $('history-area').value;
    return (e) => (!kind || e.kind === kind) &&
      (!area || e.areas.size === 0 || e.areas.has(Number(area)) || e.areas.has(0));
  }

  all() {
    return [...this.live, ...this.stored];
  }

  // Reads older entries until `wanted` of them pass the filter or the log is exhausted.
  async fill(wanted) {
    const pass = this.filter();
    while (this.next >= 1 && this.all().filter(pass).length < wanted) {
      const indexes = [];
      for (let i = this.next; i >= 1 && indexes.length < PAGE_SIZE; i--) indexes.push(i);
      this.next -= indexes.length;
      const read = await this.readStored(indexes);
      for (const e of read) {
        if (e && !this.seenIndexes.has(e.index)) {
          this.seenIndexes.add(e.index);
          this.stored.push(e);
        }
      }
    }
  }

  // Reads the entries at these indexes: their objects in one request, their values in another.
  async readStored(indexes) {
    const b = this.bridge;
    const items = await b.batch(indexes.map((i) => ({ op: 'call', object: this.log, member: 'Item',
      args: [i] })));
    const found = items.map((r) => r.result).filter((r) => r && r.object);
    const ops = [];
    for (const item of found) {
      const info = CLASSES[item.class] || CLASSES.CZelEvent;
      item.members = ['Index', 'Type', 'Time', ...info.props];
      for (const member of item.members) ops.push({ op: 'get', object: item.object, member });
    }
    const replies = await b.batch(ops);
    let k = 0;
    const entries = [];
    const release = [];
    for (const item of found) {
      const p = {};
      for (const member of item.members) {
        const r = replies[k++];
        if (r && r.http === 200 && r.result) p[member] = r.result;
      }
      entries.push(this.entry(item.class, p.Index?.value, p.Type?.value, p.Time, p));
      release.push(item.object, ...Object.values(p).filter((v) => v.vt === 9).map((v) => v.object));
    }
    this.page.release(release);
    return entries;
  }

  entry(cls, index, type, time, props) {
    const names = this.page.names;
    const info = CLASSES[cls] || CLASSES.CZelEvent;
    return {
      index, kind: info.kind, time: timeText(time),
      text: describeEntry(cls, type, props, names), areas: this.areasOf(props),
    };
  }

  areasOf(props) {
    const areas = new Set();
    for (const v of Object.values(props)) {
      if (!v || v.vt !== 9) continue;
      const known = this.page.names.get(v.object);
      if (v.class === 'CZelArea' && known) areas.add(known.id);
      if (v.class === 'CZelZone' && known && known.areaId) areas.add(known.areaId);
      if (v.class === 'CZelAreas') areas.add(0);
    }
    return areas;
  }

  // An event of the stream: a new log entry (OnEvent) or a live system event (OnSystemEvent).
  // The class members that follow each (OnArmEvent, OnSystemZoneStatusChange...) repeat them.
  onEvent(event) {
    const arg = (event.arguments || [])[0];
    if (!arg || arg.vt !== 9 || !arg.properties) return false;
    const p = arg.properties;
    let e;
    if (event.member === 'OnEvent') {
      const index = p.Index?.value;
      if (index === undefined || this.seenIndexes.has(index)) return false;
      this.seenIndexes.add(index);
      e = this.entry(arg.class, index, p.Type?.value, p.Time, p);
      if (index > this.count) this.count = index;
    } else if (event.member === 'OnSystemEvent') {
      const sub = arg.class.replace(/^CZel/, 'On').replace(/Event$/, '');
      e = { index: null, kind: 'system', time: timeText(p.Time) || new Date().toLocaleTimeString(),
        text: describeSystemEvent(sub, p, this.page.names), areas: this.areasOf(p) };
    } else {
      return false;
    }
    e.live = true;
    this.live.unshift(e);
    if (!$('history').hidden && this.pageNo === 0) this.render().catch(() => {});
    return true;
  }

  async render() {
    const mine = (this.loading = Symbol('render'));
    const wanted = (this.pageNo + 1) * PAGE_SIZE;
    $('history-status').textContent = 'Loading…';
    try {
      await this.fill(wanted + 1);
    } catch (e) {
      $('history-status').textContent = e instanceof ApiError ? e.message : String(e);
      return;
    }
    if (mine !== this.loading) return;
    const shown = this.all().filter(this.filter());
    const page = shown.slice(this.pageNo * PAGE_SIZE, wanted);
    const rows = page.map((e) => el('tr', { class: e.live ? 'live' : '', 'data-kind': e.kind },
      el('td', { text: e.index ?? '' }), el('td', { text: e.time }),
      el('td', { text: KINDS.find((k) => k[0] === e.kind)?.[1] ?? e.kind }),
      el('td', { text: e.text })));
    $('history-rows').replaceChildren(...rows);
    const more = shown.length > wanted || this.next >= 1;
    $('history-newer').disabled = this.pageNo === 0;
    $('history-older').disabled = !more;
    $('history-status').textContent = page.length
      ? `Page ${this.pageNo + 1}${this.count ? ` · ${this.count} entries stored` : ''}`
      : 'No events match.';
    document.body.dataset.history = 'ready';
  }

  async exportCsv() {
    $('history-status').textContent = 'Reading the whole history…';
    await this.fill(Infinity);
    const csv = toCsv(this.all().filter(this.filter()));
    const link = el('a', {
      href: URL.createObjectURL(new Blob([csv], { type: 'text/csv' })),
      download: 'history.csv',
    });
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
    await this.render();
  }

  bind() {
    $('history-kind').replaceChildren(...KINDS.map(([v, t]) => el('option', { value: v, text: t })));
    const refilter = () => {
      this.pageNo = 0;
      this.render().catch(() => {});
    };
    $('history-kind').addEventListener('change', refilter);
    $('history-area').addEventListener('change', refilter);
    $('history-older').addEventListener('click', () => {
      this.pageNo++;
      this.render().catch(() => {});
    });
    $('history-newer').addEventListener('click', () => {
      this.pageNo = Math.max(0, this.pageNo - 1);
      this.render().catch(() => {});
    });
    $('history-csv').addEventListener('click', () => this.exportCsv().catch(() => {}));
  }
}
