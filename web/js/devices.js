// Thermostats, temperature sensors, messages, audio zones and buttons: each listed with its
// values and controls, re-read when an event names it.
import { inParallel } from './api.js';
import { $, el, markAge } from './dom.js';

const PARALLEL = 5;

const SYSTEM_MODES = [[0, 'Off'], [1, 'Heat'], [2, 'Cool'], [3, 'Auto'], [4, 'Emergency heat']];
const FAN_MODES = [[0, 'Auto'], [1, 'On']];
const HOLD_MODES = [[0, 'Off'], [1, 'Hold']];

function temperatureText(c, f) {
  if (typeof c !== 'number' || typeof f !== 'number') return '—';
  return `${c.toFixed(1)} °C · ${f.toFixed(1)} °F`;
}

function select(id, label, options, onchange) {
  const s = el('select', { id, onchange: () => onchange(Number(s.value)) });
  for (const [value, text] of options) s.append(el('option', { value, text }));
  return [el('label', { htmlFor: id, text: label }), s];
}

export class Devices {
  // page: {bridge, watch(handle, refresh), command(fn, after)}
  constructor(page) {
    this.page = page;
    this.bridge = page.bridge;
    // Decided: TemperatureFormat 1 is Celsius, anything else Fahrenheit (the setpoint controls
    // use that scale; readings show both).
    this.celsius = false;
  }

  async load() {
    const format = await this.bridge.value(this.bridge.server, 'TemperatureFormat').catch(() => 0);
    this.celsius = format === 1;
    await Promise.all([
      this.loadClimate('Thermostats', 'thermostat', true),
      this.loadClimate('TemperatureSensors', 'sensor', false),
      this.loadMessages(),
      this.loadAudio(),
      this.loadButtons(),
    ]);
  }

  async named(collection) {
    const handles = await this.bridge.items(collection).catch(() => []);
    const values = await this.bridge.readMany(handles, ['ID', 'Name']);
    return handles.map((h, i) => ({ handle: h, id: values[i].ID?.value, name: values[i].Name?.value }))
      .filter((e) => e.name);
  }

  show(section, list) {
    $(section).hidden = list.length === 0;
  }

  // ---- Thermostats and sensors ----
  async loadClimate(collection, kind, modes) {
    const list = await this.named(collection);
    const ul = $(`${kind}s`);
    const scale = this.celsius ? 'C' : 'F';
    for (const t of list) {
      t.reading = el('span', { class: 'state' });
      const controls = el('span', { class: 'controls' });
      t.inputs = {};
      for (const which of ['Heat', 'Cool']) {
        const id = `${kind}-${t.id}-${which.toLowerCase()}`;
        const input = el('input', { type: 'number', id, step: this.celsius ? 0.5 : 1,
          class: 'setpoint' });
        const set = el('button', { type: 'button', text: 'Set',
          'aria-label': `Set ${t.name} ${which.toLowerCase()} setpoint`,
          onclick: () => this.page.command(
            () => this.bridge.op({ op: 'put', object: t.handle, member: `${which}Setpoint${scale}`,
              value: Number(input.value) }), () => this.refreshClimate(t, modes)) });
        t.inputs[which] = input;
        controls.append(el('span', { class: 'setting' },
          el('label', { htmlFor: id, text: `${which} °${scale}` }), input, set));
      }
      if (modes) {
        t.selects = {};
        for (const [member, label, options] of [['SystemMode', 'Mode', SYSTEM_MODES],
          ['FanMode', 'Fan', FAN_MODES], ['HoldMode', 'Hold', HOLD_MODES]]) {
          const [l, s] = select(`${kind}-${t.id}-${member}`, label, options, (v) =>
            this.page.command(() => this.bridge.op({ op: 'put', object: t.handle, member, value: v }),
              () => this.refreshClimate(t, modes)));
          t.selects[member] = s;
          controls.append(el('span', { class: 'setting' }, l, s));
        }
      }
      t.row = el('li', { class: `row ${kind}`, id: `${kind}-${t.id}` },
        el('span', { class: 'name', text: t.name }), t.reading, controls);
      ul.append(t.row);
      this.page.watch(t.handle, () => this.refreshClimate(t, modes));
    }
    this.show(`${kind}s-card`, list);
    await inParallel(list, PARALLEL, (t) => this.refreshClimate(t, modes));
  }

  async refreshClimate(t, modes) {
    const b = this.bridge;
    const scale = this.celsius ? 'C' : 'F';
    const [c, f, heat, cool] = await Promise.all([
      b.get(t.handle, 'TemperatureC'), b.value(t.handle, 'TemperatureF'),
      b.value(t.handle, `HeatSetpoint${scale}`), b.value(t.handle, `CoolSetpoint${scale}`)]);
    t.reading.textContent = temperatureText(c.value, f);
    markAge(t.row, c.age);
    for (const [which, v] of [['Heat', heat], ['Cool', cool]]) {
      if (document.activeElement !== t.inputs[which] && typeof v === 'number') {
        t.inputs[which].value = Math.round(v * 10) / 10;
      }
    }
    t.row.dataset.heat = Math.round(heat * 10) / 10;
    t.row.dataset.cool = Math.round(cool * 10) / 10;
    if (modes) {
      for (const [member, s] of Object.entries(t.selects)) {
        const v = await b.value(t.handle, member);
        if (![...s.options].some((o) => Number(o.value) === v)) {
          s.append(el('option', { value: v, text: `Mode ${v}` }));
        }
        s.value = v;
        t.row.dataset[member.toLowerCase()] = v;
      }
    }
  }

  // ---- Messages ----
  async loadMessages() {
    const list = await this.named('Messages');
    for (const m of list) {
      m.stateEl = el('span', { class: 'state' });
      m.row = el('li', { class: 'row message', id: `message-${m.id}` },
        el('span', { class: 'name', text: m.name }), m.stateEl,
        el('span', { class: 'buttons' },
          el('button', { type: 'button', text: 'Show', 'aria-label': `Show ${m.name}`,
            onclick: () => this.page.command(() => this.bridge.call(m.handle, 'Show'),
              () => this.refreshMessage(m)) }),
          el('button', { type: 'button', text: 'Clear', 'aria-label': `Clear ${m.name}`,
            onclick: () => this.page.command(() => this.bridge.call(m.handle, 'Clear'),
              () => this.refreshMessage(m)) })));
      $('messages').append(m.row);
      this.page.watch(m.handle, () => this.refreshMessage(m));
    }
    this.show('messages-card', list);
    await inParallel(list, PARALLEL, (m) => this.refreshMessage(m));
  }

  async refreshMessage(m) {
    const [shown, acknowledged] = await Promise.all([
      this.bridge.get(m.handle, 'Displayed'), this.bridge.value(m.handle, 'Acknowledged')]);
    m.stateEl.textContent = shown.value
      ? (acknowledged ? 'Shown' : 'Shown, not acknowledged') : 'Not shown';
    m.row.dataset.state = shown.value ? 'shown' : 'cleared';
    markAge(m.row, shown.age);
  }

  // ---- Audio zones ----
  async loadAudio() {
    const [zones, sources] = await Promise.all([this.named('AudioZones'), this.named('AudioSources')]);
    for (const z of zones) {
      z.power = el('button', { type: 'button', text: 'On', 'aria-pressed': 'false',
        onclick: () => this.page.command(() => this.bridge.op({ op: 'put', object: z.handle,
          member: 'PowerStatus', value: !z.on }), () => this.refreshAudio(z)) });
      const sid = `audio-${z.id}-source`;
      z.source = el('select', { id: sid, onchange: () => this.page.command(
        () => this.bridge.op({ op: 'put', object: z.handle, member: 'Source',
          value: Number(z.source.value) }), () => this.refreshAudio(z)) });
      for (const s of sources) z.source.append(el('option', { value: s.id, text: s.name }));
      const vid = `audio-${z.id}-volume`;
      z.volume = el('input', { type: 'range', id: vid, min: 0, max: 100, step: 1,
        onchange: () => this.page.command(() => this.bridge.op({ op: 'put', object: z.handle,
          member: 'VolumeLevel', value: Number(z.volume.value) }), () => this.refreshAudio(z)) });
      z.row = el('li', { class: 'row audio', id: `audio-${z.id}` },
        el('span', { class: 'name', text: z.name }),
        el('span', { class: 'controls' }, z.power,
          el('label', { htmlFor: sid, text: 'Source' }), z.source,
          el('label', { htmlFor: vid, text: 'Volume' }), z.volume));
      $('audio').append(z.row);
      this.page.watch(z.handle, () => this.refreshAudio(z));
    }
    this.show('audio-card', zones);
    await inParallel(zones, PARALLEL, (z) => this.refreshAudio(z));
  }

  async refreshAudio(z) {
    const [power, source, volume] = await Promise.all([
      this.bridge.get(z.handle, 'PowerStatus'), this.bridge.value(z.handle, 'Source'),
      this.bridge.value(z.handle, 'VolumeLevel')]);
    z.on = Boolean(power.value);
    z.power.textContent = z.on ? 'Turn off' : 'Turn on';
    z.power.setAttribute('aria-pressed', String(z.on));
    z.row.dataset.state = z.on ? 'on' : 'off';
    if (![...z.source.options].some((o) => Number(o.value) === source)) {
      z.source.append(el('option', { value: source, text: `Source ${source}` }));
    }
    z.source.value = source;
    if (document.activeElement !== z.volume) z.volume.value = volume;
    z.row.dataset.volume = volume;
    markAge(z.row, power.age);
  }

  // ---- Buttons ----
  async loadButtons() {
    const list = await this.named('Buttons');
    for (const b of list) {
      $('buttons').append(el('li', { class: 'row button', id: `button-${b.id}` },
        el('span', { class: 'name', text: b.name }),
        el('span', { class: 'buttons' }, el('button', { type: 'button', text: 'Run',
          'aria-label': `Run ${b.name}`,
          onclick: () => this.page.command(() => this.bridge.call(b.handle, 'Execute')) }))));
      this.page.watch(b.handle, null);
    }
    this.show('buttons-card', list);
  }
}
