/* warden-hub's History view: the sessions warden's database worker wrote
 * (/api/history), filtered and paged on the server, and a per-user summary
 * sorted by bytes (/api/history/summary).  Shown only when the hub was
 * started with --history (the API answers 204, no content, otherwise). */
'use strict';
(function () {
  const PAGE_ROWS = 50;
  const $ = (id) => document.getElementById(id);
  let offset = 0;
  const state = window.hubHistory = { loads: 0 };

  function bytes(n) {
    if (n == null) return '–';
    const units = ['B', 'kB', 'MB', 'GB', 'TB', 'PB'];
    let i = 0;
    while (n >= 1000 && i < units.length - 1) { n /= 1000; i++; }
    return (i === 0 ? String(Math.round(n)) : n.toFixed(n < 10 ? 2 : n < 100 ? 1 : 0)) + ' ' + units[i];
  }
  const when = (t) => (t == null ? 'open' : new Date(t * 1000).toLocaleString());
  const epoch = (v) => (v ? String(Math.floor(new Date(v).getTime() / 1000)) : '');

  function query() {
    const q = new URLSearchParams();
    for (const name of ['user', 'client', 'destination', 'status']) {
      const v = $('h-' + name).value.trim();
      if (v) q.set(name, v);
    }
    const from = epoch($('h-from').value), to = epoch($('h-to').value);
    if (from) q.set('from', from);
    if (to) q.set('to', to);
    return q;
  }

  function cell(tr, text, cls) {
    const td = document.createElement('td');
    td.textContent = text;
    if (cls) td.className = cls;
    tr.appendChild(td);
  }

  async function load() {
    const q = query();
    const summaryQuery = q.toString();
    q.set('limit', PAGE_ROWS);
    q.set('offset', offset);
    const [rowsReply, sumReply] = await Promise.all([
      fetch('/api/history?' + q), fetch('/api/history/summary?' + summaryQuery)]);
    const msg = $('h-message');
    if (!rowsReply.ok || !sumReply.ok) {
      const bad = rowsReply.ok ? sumReply : rowsReply;
      msg.textContent = ((await bad.json().catch(() => ({}))).error) || ('HTTP ' + bad.status);
      return;
    }
    msg.textContent = '';
    const page = await rowsReply.json(), sum = await sumReply.json();
    const body = $('h-rows');
    body.replaceChildren();
    for (const r of page.rows) {
      const tr = document.createElement('tr');
      cell(tr, when(r.start_time));
      cell(tr, r.end_time == null ? 'open' : r.duration + ' s');
      cell(tr, r.host);
      cell(tr, r.user || '–');
      cell(tr, r.client);
      cell(tr, r.destination);
      cell(tr, r.status + ' ' + r.status_text);
      cell(tr, bytes(r.bytes_up), 'num');
      cell(tr, bytes(r.bytes_down), 'num');
      body.appendChild(tr);
    }
    $('h-page').textContent = page.rows.length
      ? 'sessions ' + (offset + 1) + '–' + (offset + page.rows.length) : 'no sessions';
    $('h-prev').disabled = offset === 0;
    $('h-next').disabled = page.next == null;
    const users = $('h-users');
    users.replaceChildren();
    for (const u of sum.users) {
      const tr = document.createElement('tr');
      cell(tr, u.user || '(none)');
      cell(tr, String(u.sessions), 'num');
      cell(tr, bytes(u.bytes_up), 'num');
      cell(tr, bytes(u.bytes_down), 'num');
      users.appendChild(tr);
    }
    state.loads++;
  }

  async function start() {
    const probe = await fetch('/api/history?limit=1').catch(() => null);
    if (!probe || probe.status !== 200) return; // 204: the hub has no --history
    $('history').hidden = false;
    $('h-form').addEventListener('submit', (e) => { e.preventDefault(); offset = 0; load(); });
    $('h-prev').addEventListener('click', () => { offset = Math.max(0, offset - PAGE_ROWS); load(); });
    $('h-next').addEventListener('click', () => { offset += PAGE_ROWS; load(); });
    load();
  }
  start();
})();
