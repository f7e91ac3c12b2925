/* warden-hub's live page.  Reads the table once (/api/sessions, whose
 * X-Event-Id header names the last change it reflects), then follows the
 * changes as Server-Sent Events from /api/events; no polling.  The table is
 * virtualised: only the rows in view exist in the document, so 10,000
 * sessions cost what 30 do.  Sorting and filtering run at most a few times a
 * second, whatever the rate of changes. */
'use strict';
(function () {
  const RESORT_MS = 500;          // a busy table is re-sorted at most this often
  const RETRY_MS = 2000;          // pause before reconnecting a lost stream
  const CHART_SECONDS = 300;
  const OVERSCAN = 8;             // rows drawn beyond the visible ones

  const $ = (id) => document.getElementById(id);
  const sessions = new Map();     // "host key" -> session object from the hub
  let hosts = [];                 // latest totals per host
  let view = [];                  // the sorted, filtered sessions
  let viewDirty = true;
  let lastSort = 0;
  let sortCol = 'age', sortDesc = false;
  let filterText = '', hostPick = '';
  let clockSkew = 0;              // hub time minus this browser's, seconds
  let es = null;
  let frame = 0;
  const chart = [];               // {t, up, down}

  // For measurements and tests: time of the first drawn table, work per event.
  const stats = window.hubPage = {
    firstRenderMs: null, events: 0, applyMs: 0, renders: 0, renderMs: 0, sorts: 0, sortMs: 0,
    domRows: () => $('rows').children.length,
    drawn: [0, 0],                // first and past-the-last index of the drawn rows
    viewLength: () => view.length,
  };

  // ---- formatting ------------------------------------------------------
  function bytes(n) {
    if (n == null) return '–';
    const units = ['B', 'kB', 'MB', 'GB', 'TB', 'PB'];
    let i = 0;
    while (n >= 1000 && i < units.length - 1) { n /= 1000; i++; }
    return (i === 0 ? String(Math.round(n)) : n.toFixed(n < 10 ? 2 : n < 100 ? 1 : 0)) + ' ' + units[i];
  }
  const rate = (n) => (n > 0 ? bytes(n) + '/s' : '–');
  function age(s) {
    if (s == null || Number.isNaN(s)) return '–';
    s = Math.max(0, Math.floor(s));
    if (s < 60) return s + 's';
    if (s < 3600) return Math.floor(s / 60) + 'm' + String(s % 60).padStart(2, '0') + 's';
    if (s < 86400) return Math.floor(s / 3600) + 'h' + String(Math.floor(s % 3600 / 60)).padStart(2, '0') + 'm';
    return Math.floor(s / 86400) + 'd' + String(Math.floor(s % 86400 / 3600)).padStart(2, '0') + 'h';
  }
  const now = () => Date.now() / 1000 + clockSkew;
  function seconds(s) {
    if (!s.start_time) return null;
    return (s.state === 'ended' && s.end_time ? s.end_time : now()) - s.start_time;
  }
  function stateText(s) {
    if (s.state !== 'ended') return s.stale ? 'open (stale)' : 'open';
    if (s.gone) return 'gone';
    return s.status === 0 ? 'ended' : 'failed ' + s.status;
  }
  const clock = (t) => (t ? new Date(t * 1000).toLocaleString() + '  (' + t + ')' : '–');

  // ---- columns ---------------------------------------------------------
  const COLUMNS = [
    { id: 'host', title: 'Host', width: 'minmax(6.5rem, 1fr)', key: (s) => s.host, text: (s) => s.host },
    { id: 'user', title: 'User', width: 'minmax(4rem, .7fr)', key: (s) => s.user, text: (s) => s.user || '–' },
    { id: 'client', title: 'Client', width: 'minmax(7rem, 1.1fr)', key: (s) => s.client || '', text: (s) => s.client || '–' },
    { id: 'destination', title: 'Destination', width: 'minmax(7rem, 1.8fr)', key: (s) => s.destination, text: (s) => s.destination || '–' },
    { id: 'resolved', title: 'Resolved', width: 'minmax(7rem, 1.1fr)', key: (s) => s.resolved || '', text: (s) => s.resolved || '–' },
    { id: 'state', title: 'State', width: '6.5rem', key: stateText, text: stateText },
    { id: 'age', title: 'Age', width: '4.2rem', num: true, key: (s) => -(s.start_time || 0), text: (s) => age(seconds(s)) },
    { id: 'bytes_up', title: 'Up', width: '5.2rem', num: true, key: (s) => s.bytes_up, text: (s) => bytes(s.bytes_up) },
    { id: 'bytes_down', title: 'Down', width: '5.2rem', num: true, key: (s) => s.bytes_down, text: (s) => bytes(s.bytes_down) },
    { id: 'rate_up', title: 'Up rate', width: '6.2rem', num: true, key: (s) => s.rate_up, text: (s) => rate(s.rate_up) },
    { id: 'rate_down', title: 'Down rate', width: '6.2rem', num: true, key: (s) => s.rate_down, text: (s) => rate(s.rate_down) },
  ];
  const byId = Object.fromEntries(COLUMNS.map((c) => [c.id, c]));

  function buildHead() {
    const head = $('head');
    document.documentElement.style.setProperty('--cols', COLUMNS.map((c) => c.width).join(' '));
    for (const c of COLUMNS) {
      const b = document.createElement('button');
      b.textContent = c.title;
      b.dataset.col = c.id;
      b.setAttribute('role', 'columnheader');
      if (c.num) b.className = 'num';
      b.addEventListener('click', () => {
        if (sortCol === c.id) sortDesc = !sortDesc;
        else { sortCol = c.id; sortDesc = c.num && c.id !== 'age'; }
        markHead();
        invalidate(true);
      });
      head.appendChild(b);
    }
    markHead();
  }
  function markHead() {
    for (const b of $('head').children) {
      if (b.dataset.col === sortCol) b.setAttribute('aria-sort', sortDesc ? 'descending' : 'ascending');
      else b.removeAttribute('aria-sort');
    }
  }

  // ---- the view --------------------------------------------------------
  function matches(s) {
    if (hostPick && s.host !== hostPick) return false;
    if (!filterText) return true;
    const hay = [s.key, s.host, s.user, s.client, s.resolved, s.destination, stateText(s), s.status_text, String(s.status)]
      .join('\n').toLowerCase();
    return hay.includes(filterText);
  }
  function rebuildView() {
    const t0 = performance.now();
    const col = byId[sortCol];
    const rows = [];
    for (const s of sessions.values()) if (matches(s)) rows.push(s);
    const dir = sortDesc ? -1 : 1;
    rows.sort((a, b) => {
      const x = col.key(a), y = col.key(b);
      if (x < y) return -dir;
      if (x > y) return dir;
      return a.host < b.host ? -1 : a.host > b.host ? 1 : a.key < b.key ? -1 : a.key > b.key ? 1 : 0;
    });
    view = rows;
    viewDirty = false;
    lastSort = performance.now();
    stats.sorts++;
    stats.sortMs += lastSort - t0;
  }
  // urgent: the set of rows or its order changed by the user's hand.
  function invalidate(urgent) {
    viewDirty = true;
    if (urgent) lastSort = 0;
    schedule();
  }
  function schedule() {
    if (!frame) frame = requestAnimationFrame(render);
  }

  const pool = [];
  function rowElement(i) {
    let r = pool[i];
    if (!r) {
      r = document.createElement('div');
      r.className = 'row';
      r.setAttribute('role', 'row');
      for (const c of COLUMNS) {
        const cell = document.createElement('span');
        cell.setAttribute('role', 'cell');
        cell.className = (c.num ? 'num ' : '') + (c.id === 'state' ? 'st' : '');
        r.appendChild(cell);
      }
      r.addEventListener('click', () => showDetail(r.session));
      pool[i] = r;
    }
    return r;
  }

  function render() {
    frame = 0;
    const t0 = performance.now();
    if (viewDirty) {
      if (t0 - lastSort >= RESORT_MS) rebuildView();
      else setTimeout(schedule, RESORT_MS - (t0 - lastSort));
    }
    const vp = $('viewport');
    const rowH = pool[0] ? pool[0].offsetHeight || 28 : parseFloat(getComputedStyle(document.documentElement).getPropertyValue('--row')) || 28;
    $('spacer').style.height = view.length * rowH + 'px';
    const first = Math.max(0, Math.floor(vp.scrollTop / rowH) - OVERSCAN);
    const last = Math.min(view.length, Math.ceil((vp.scrollTop + vp.clientHeight) / rowH) + OVERSCAN);
    const rows = $('rows');
    rows.style.transform = 'translateY(' + first * rowH + 'px)';
    const need = last - first;
    stats.drawn = [first, last];
    while (rows.children.length > need) rows.removeChild(rows.lastChild);
    for (let i = 0; i < need; i++) {
      const s = view[first + i];
      const r = rowElement(i);
      if (r.parentNode !== rows) rows.appendChild(r);
      r.session = s;
      const ended = s.state === 'ended';
      r.className = 'row' + (ended ? ' ended' : '');
      r.dataset.key = s.host + ' ' + s.key;
      for (let c = 0; c < COLUMNS.length; c++) {
        const text = COLUMNS[c].text(s);
        const cell = r.children[c];
        if (cell.textContent !== text) {
          cell.textContent = text;
          cell.title = text;
        }
      }
      const st = r.children[5];
      st.classList.toggle('failed', ended && s.status !== 0);
    }
    let open = 0;
    for (const s of view) if (s.state !== 'ended') open++;
    $('count').textContent = view.length + ' shown of ' + sessions.size + ' sessions, ' + open + ' open' +
      (filterText ? ', filter "' + filterText + '"' : '') + (hostPick ? ', host ' + hostPick : '');
    const spent = performance.now() - t0;
    stats.renders++;
    stats.renderMs += spent;
    if (stats.firstRenderMs === null && sessions.size > 0 && view.length > 0) stats.firstRenderMs = performance.now();
  }

  // ---- totals and chart --------------------------------------------------
  function card(t, title, cls) {
    const el = document.createElement('div');
    el.className = 'card ' + cls;
    const h = document.createElement('h2');
    h.textContent = title;
    if (t.state) {
      const st = document.createElement('span');
      st.className = 'state ' + t.state;
      st.textContent = t.state;
      h.appendChild(st);
    }
    el.appendChild(h);
    const dl = document.createElement('dl');
    const fails = Object.entries(t.failures || {}).map(([c, n]) => 'code ' + c + ': ' + n).join(', ') || 'none';
    for (const [k, v] of [['active', String(t.active)], ['per minute', String(t.per_minute)],
      ['▲ to destination', rate(t.rate_up) === '–' ? '0 B/s' : rate(t.rate_up)],
      ['▼ to client', rate(t.rate_down) === '–' ? '0 B/s' : rate(t.rate_down)], ['failures', fails]]) {
      const dt = document.createElement('dt'); dt.textContent = k;
      const dd = document.createElement('dd'); dd.textContent = v;
      dl.append(dt, dd);
    }
    el.appendChild(dl);
    if (t.error && t.state !== 'up') {
      const e = document.createElement('div');
      e.className = 'error';
      e.textContent = t.error;
      el.appendChild(e);
    }
    return el;
  }
  function showTotals(totals) {
    if (totals.time) clockSkew = totals.time - Date.now() / 1000;
    hosts = totals.hosts;
    const box = $('totals');
    box.replaceChildren(card(totals.all, 'All hosts', 'all'), ...hosts.map((h) => card(h, h.host, 'host')));
    const pick = $('host');
    const have = [...pick.options].map((o) => o.value).join('\n');
    const want = ['', ...hosts.map((h) => h.host)].join('\n');
    if (have !== want) {
      pick.replaceChildren(new Option('all hosts', ''), ...hosts.map((h) => new Option(h.host, h.host)));
      pick.value = hostPick;
    }
    chart.push({ t: totals.time || now(), up: totals.all.rate_up, down: totals.all.rate_down });
    while (chart.length && chart[0].t < chart[chart.length - 1].t - CHART_SECONDS) chart.shift();
    drawChart();
  }
  function drawChart() {
    const c = $('chart');
    const dpr = window.devicePixelRatio || 1;
    const w = c.clientWidth, h = c.clientHeight;
    if (c.width !== w * dpr || c.height !== h * dpr) { c.width = w * dpr; c.height = h * dpr; }
    const g = c.getContext('2d');
    g.setTransform(dpr, 0, 0, dpr, 0, 0);
    g.clearRect(0, 0, w, h);
    const max = Math.max(1, ...chart.map((p) => Math.max(p.up, p.down)));
    const end = chart.length ? chart[chart.length - 1].t : now();
    const x = (t) => w - (end - t) / CHART_SECONDS * w;
    const y = (v) => h - 4 - v / max * (h - 20);
    const css = getComputedStyle(document.documentElement);
    for (const [k, color] of [['up', css.getPropertyValue('--up')], ['down', css.getPropertyValue('--down')]]) {
      g.beginPath();
      g.strokeStyle = color.trim();
      g.lineWidth = 2;
      if (k === 'down') g.setLineDash([6, 3]); else g.setLineDash([]);
      chart.forEach((p, i) => (i ? g.lineTo(x(p.t), y(p[k])) : g.moveTo(x(p.t), y(p[k]))));
      g.stroke();
    }
    g.setLineDash([]);
    g.fillStyle = css.getPropertyValue('--muted').trim();
    g.font = '12px sans-serif';
    g.fillText('max ' + bytes(max) + '/s', 6, 13);
  }

  // ---- the record in full ------------------------------------------------
  function showDetail(s) {
    if (!s) return;
    $('detail-title').textContent = 'Session ' + s.key + ' on ' + s.host;
    const fields = [
      ['host', s.host], ['key', s.key], ['link', s.link || '-'], ['state', stateText(s)],
      ['client', s.client || '-'], ['resolved', s.resolved || '-'], ['outbound', s.outbound || '-'],
      ['user', s.user || '-'], ['destination', s.destination || '-'], ['command', s.command || '-'],
      ['proxy', s.proxy || '-'], ['text5', s.text5 || '-'], ['codes', 'code1=' + s.code1 + ' code2=' + s.code2],
      ['sequence', String(s.seq)], ['client tag', String(s.client_tag)], ['started', clock(s.start_time)],
      ['last event', clock(s.event_time)], ['ended', clock(s.end_time)],
      ['bytes up', s.bytes_up + ' (' + bytes(s.bytes_up) + ')'], ['bytes down', s.bytes_down + ' (' + bytes(s.bytes_down) + ')'],
      ['rate up', rate(s.rate_up)], ['rate down', rate(s.rate_down)],
      ['status', s.status + (s.status_text ? ' ' + s.status_text : '')], ['flags', (s.flags || []).join(' ') || '-'],
      ['data', s.data || '-'],
    ];
    const dl = $('detail-body');
    dl.replaceChildren();
    for (const [k, v] of fields) {
      const dt = document.createElement('dt'); dt.textContent = k;
      const dd = document.createElement('dd'); dd.textContent = v;
      dl.append(dt, dd);
    }
    if (!$('detail').open) $('detail').showModal();
  }

  // ---- the stream ------------------------------------------------------
  function setLink(text, lost) {
    const el = $('link');
    el.textContent = text;
    el.className = 'link ' + (lost ? 'lost' : 'live');
  }
  function onSession(ev) {
    const t0 = performance.now();
    const s = JSON.parse(ev.data);
    const id = s.host + ' ' + s.key;
    const old = sessions.get(id);
    if (old) {
      const moved = old.state !== s.state || old[sortCol] !== s[sortCol];
      Object.assign(old, s);
      if (moved) viewDirty = true;
    } else {
      sessions.set(id, s);
      viewDirty = true;
    }
    stats.events++;
    stats.applyMs += performance.now() - t0;
    schedule();
  }
  function onRemove(ev) {
    const s = JSON.parse(ev.data);
    if (sessions.delete(s.host + ' ' + s.key)) invalidate(false);
  }
  async function load() {
    const [h, t] = await Promise.all([fetch('/api/hosts'), fetch('/api/sessions')]);
    if (!h.ok || !t.ok) throw new Error('the hub answered ' + h.status + '/' + t.status);
    showTotals(await h.json());
    const rows = await t.json();
    sessions.clear();
    for (const s of rows) sessions.set(s.host + ' ' + s.key, s);
    invalidate(true);
    return t.headers.get('X-Event-Id') || '0';
  }
  function lost(why) {
    if (es) { es.close(); es = null; }
    setLink('event stream lost (' + why + '); reconnecting…', true);
    setTimeout(connect, RETRY_MS);
  }
  async function connect() {
    let since;
    try {
      since = await load();
    } catch (e) {
      lost('no answer from the hub');
      return;
    }
    es = new EventSource('/api/events?since=' + encodeURIComponent(since));
    es.onopen = () => setLink('live');
    for (const type of ['start', 'update', 'status', 'end']) es.addEventListener(type, onSession);
    es.addEventListener('remove', onRemove);
    es.addEventListener('totals', (ev) => showTotals(JSON.parse(ev.data)));
    es.addEventListener('reset', () => { es.close(); es = null; connect(); });
    es.onerror = () => lost('connection closed');
  }

  // ---- start -------------------------------------------------------------
  buildHead();
  $('viewport').addEventListener('scroll', schedule, { passive: true });
  window.addEventListener('resize', () => { drawChart(); schedule(); });
  $('filter').addEventListener('input', (e) => { filterText = e.target.value.trim().toLowerCase(); invalidate(true); });
  $('host').addEventListener('change', (e) => { hostPick = e.target.value; invalidate(true); });
  setInterval(schedule, 1000);  // ages move on even when nothing else does
  connect();
})();
