// The fleet page: asks the collector for its stations every few seconds and
// draws one card per station. Every text from a station goes in as text,
// never as markup.
'use strict';

const REFRESH_MS = 5000;
const HISTORY_MS = 60000;   // the charts' intervals are minutes long
const SVG = 'http://www.w3.org/2000/svg';
const UNITS = { M: 'm/s', N: 'kn', K: 'km/h', P: 'mph', F: 'ft/min' };
const ALARMS = {
  offline: { text: 'offline', severe: true },
  silent: { text: 'silent', severe: true },
  no_valid_message: { text: 'no valid message', severe: true },
  sensor_status: { text: 'sensor status', severe: false },
  device_lost: { text: 'device lost', severe: true },
  file_fault: { text: 'file fault', severe: true },
  backlog: { text: 'backlog', severe: false },
  input_overflow: { text: 'line flooded', severe: false },
};
const CHART = { width: 300, height: 90, left: 28, right: 6, top: 8, bottom: 14 };

let lastSuccess = null;
let history = {};

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function svg(tag, attributes, text) {
  const node = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, value);
  if (text !== undefined) node.textContent = text;
  return node;
}

function duration(seconds) {
  const s = Math.max(0, Math.round(seconds));
  if (s < 60) return `${s} s`;
  if (s < 3600) return `${Math.floor(s / 60)} min`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ${Math.floor((s % 3600) / 60)} min`;
  return `${Math.floor(s / 86400)} d ${Math.floor((s % 86400) / 3600)} h`;
}

function isNumber(value) {
  return typeof value === 'number' && Number.isFinite(value);
}

function fixed(value, digits) {
  return isNumber(value) ? value.toFixed(digits) : '–';
}

function units(letter) {
  return UNITS[letter] || letter || '';
}

function direction(value) {
  return isNumber(value) ? `${String(Math.round(value) % 360).padStart(3, '0')}°` : '–';
}

function utcTime(iso) {
  const t = new Date(iso);
  return Number.isNaN(t.getTime()) ? '' : t.toISOString().slice(11, 16);
}

function alarmText(station, alarm) {
  if (alarm === 'silent' && isNumber(station.age_s)) return `silent ${duration(station.age_s)}`;
  if (alarm === 'sensor_status') {
    const code = [station.live, station.record].map(m => m && m.status).find(c => c && c !== '00');
    if (code) return `sensor status ${code}`;
  }
  return (ALARMS[alarm] || { text: alarm }).text;
}

function windNow(station) {
  const live = station.live;
  if (live && isNumber(live.speed))
    return `${fixed(live.speed, 2)} ${units(live.units)} from ${direction(live.direction)}`;
  const record = station.record;
  if (record && isNumber(record.mean))
    return `${fixed(record.mean, 2)} ${units(record.units)} (mean) from ${direction(record.direction)}`;
  return '–';
}

function interval(stats) {
  if (!stats) return '–';
  const speedUnits = units(stats.units);
  return `${utcTime(stats.start)}–${utcTime(stats.end)} UTC: mean ${fixed(stats.speed_mean, 2)}, ` +
    `gust ${fixed(stats.gust, 2)} ${speedUnits}, TI ${fixed(stats.ti, 2)}, ${direction(stats.dir_mean)}`;
}

// Splits a series where a value is missing, so no line bridges a gap.
function segments(points, key, x, y) {
  const runs = [];
  let run = [];
  for (const p of points) {
    if (isNumber(p[key])) {
      run.push(`${x(p.t).toFixed(1)},${y(p[key]).toFixed(1)}`);
    } else if (run.length) {
      runs.push(run);
      run = [];
    }
  }
  if (run.length) runs.push(run);
  return runs;
}

function chart(history) {
  const points = (history || []).map(p => ({ ...p, t: new Date(p.start).getTime() }))
    .filter(p => !Number.isNaN(p.t));
  if (points.length < 2) return el('p', 'nochart', 'No interval statistics yet.');
  const { width, height, left, right, top, bottom } = CHART;
  const t0 = points[0].t;
  const t1 = points[points.length - 1].t;
  const highest = Math.max(...points.flatMap(p => [p.gust, p.speed_mean]).filter(isNumber), 1);
  const yMax = Math.ceil(highest * 1.1);
  const x = t => left + (t - t0) / (t1 - t0) * (width - left - right);
  const y = v => height - bottom - v / yMax * (height - top - bottom);
  const root = svg('svg', { class: 'chart', viewBox: `0 0 ${width} ${height}`, role: 'img',
    'aria-label': 'Interval means and gusts' });
  root.append(svg('rect', { class: 'frame', x: left, y: top, width: width - left - right, height: height - top - bottom }));
  for (const [key, cls] of [['gust', 'gust'], ['speed_mean', 'mean']]) {
    for (const run of segments(points, key, x, y)) {
      if (run.length === 1) run.push(run[0]);
      root.append(svg('polyline', { class: cls, points: run.join(' ') }));
    }
  }
  root.append(svg('text', { x: left - 3, y: top + 7, 'text-anchor': 'end' }, String(yMax)));
  root.append(svg('text', { x: left - 3, y: height - bottom, 'text-anchor': 'end' }, '0'));
  root.append(svg('text', { x: left, y: height - 3 }, `${utcTime(points[0].start)} UTC`));
  root.append(svg('text', { x: width - right, y: height - 3, 'text-anchor': 'end' }, utcTime(points[points.length - 1].start)));
  root.append(svg('text', { class: 'mean-label', x: left + 4, y: top + 9 }, 'mean'));
  root.append(svg('text', { class: 'gust-label', x: left + 34, y: top + 9 }, 'gust'));
  return root;
}

function fact(list, name, value) {
  list.append(el('dt', '', name), el('dd', '', value));
}

function card(station) {
  const alarms = station.alarms || [];
  const node = el('article', 'station');
  node.dataset.station = station.station;
  if (!station.online) node.classList.add('offline');
  if (alarms.length) node.classList.add('alarmed');

  const title = el('h2', '', station.station);
  const since = isNumber(station.since_s) ? ` for ${duration(station.since_s)}` : '';
  title.append(el('span', 'state', (station.online ? 'online' : 'offline') + since));
  node.append(title);

  if (alarms.length) {
    const list = el('ul', 'alarms');
    for (const alarm of alarms) {
      const item = el('li', 'alarm', alarmText(station, alarm));
      item.dataset.alarm = alarm;
      if ((ALARMS[alarm] || { severe: true }).severe) item.classList.add('severe');
      if (station.faults && station.faults.length) item.title = station.faults.join('\n');
      list.append(item);
    }
    node.append(list);
  }

  const facts = el('dl', 'facts');
  fact(facts, 'Last record', isNumber(station.age_s) ? `${duration(station.age_s)} ago` : 'none yet');
  fact(facts, 'Records today', isNumber(station.records_today) ? station.records_today.toLocaleString('en') : '–');
  fact(facts, 'Wind now', windNow(station));
  fact(facts, 'Last interval', interval(station.stats));
  node.append(facts);
  node.append(chart(history[station.station]));
  return node;
}

function summary(stations) {
  const offline = stations.filter(s => !s.online).length;
  const alarmed = stations.filter(s => (s.alarms || []).length).length;
  const text = `${stations.length} station${stations.length === 1 ? '' : 's'}: ` +
    `${stations.length - offline} online, ${offline} offline, ${alarmed} with alarms`;
  const node = document.getElementById('summary');
  node.textContent = stations.length ? text : 'No station heard from yet.';
  node.classList.toggle('trouble', alarmed > 0);
}

function render(stations) {
  document.getElementById('stations').replaceChildren(...stations.map(card));
  summary(stations);
}

function updated(ok, why) {
  const node = document.getElementById('updated');
  if (ok) lastSuccess = new Date();
  const at = lastSuccess ? lastSuccess.toLocaleTimeString() : 'never';
  node.textContent = ok ? `Updated ${at}; every ${REFRESH_MS / 1000} s.`
    : `Cannot reach the collector (${why}); last update ${at}.`;
  node.classList.toggle('stale', !ok);
}

async function ask(path) {
  const response = await fetch(path, { cache: 'no-store' });
  if (!response.ok) throw new Error(`HTTP ${response.status}`);
  return response.json();
}

async function refresh(withHistory) {
  try {
    if (withHistory) history = await ask('api/history');
    render(await ask('api/stations'));
    updated(true);
  } catch (error) {
    updated(false, error.message);
  }
}

refresh(true);
setInterval(() => refresh(false), REFRESH_MS);
setInterval(() => refresh(true), HISTORY_MS);
