// How long the page takes from an offset typed by the user to the new
// placements applied (and drawn), on the deep synthetic assembly of 1,000,
// 10,000 and 100,000 nodes, in headless chromium with software WebGL.
//
//   node bench/viewer/offsets.mjs [--quick] [--identity] [--runs N] [COUNT...]
//
// Needs a built alignparts-viewer (ALIGNPARTS_VIEWER, else build/default) and
// `npm ci --prefix viewer`. The top node is taken in as an assembly with both
// frames set, then one offset field is changed N times, one change at a time.
// Where the viewer says how long its run of the library took (a Server-Timing
// header with `run`), that share is shown beside the whole.

import { writeFileSync } from 'node:fs';
import path from 'node:path';
import { missing, tempDir, startViewer, launch, openPage, settle } from '../../tests/viewer/browser/harness.mjs';
import { syntheticGlb } from './synthetic.mjs';

const args = process.argv.slice(2);
const quick = args.includes('--quick');
// --identity: the page asks for answers as they are, not compressed (what the
// server sends when the browser accepts compression costs most of the time).
const identity = args.includes('--identity');
const runsAt = args.indexOf('--runs');
const runs = runsAt >= 0 ? Number(args[runsAt + 1]) : quick ? 7 : 21;
const counts = args.filter((a, i) => /^\d+$/.test(a) && args[i - 1] !== '--runs').map(Number);
if (!counts.length) counts.push(...(quick ? [1000, 10000] : [1000, 10000, 100000]));

const why = missing();
if (why) {
    console.log(`skipped: ${why}`);
    process.exit(0);
}

// The harness registers clean-ups the way node's test runner does; here they
// run when each size is done.
function scope() {
    const cleanups = [];
    return { after: (f) => cleanups.push(f), async close() { for (const f of cleanups.reverse()) await f(); } };
}

const median = (xs) => { const s = [...xs].sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; };
const fmt = (x) => (x === undefined || Number.isNaN(x) ? '-' : x.toFixed(1));

const rows = [];
for (const count of counts) {
    const t = scope();
    try {
        const dir = tempDir(t);
        const file = path.join(dir, `deep-${count}.glb`);
        writeFileSync(file, syntheticGlb(count));
        const server = await startViewer(t, file);
        for (const [route, body] of [
            ['/api/select', { items: ['assembly:n0'] }], ['/api/add', {}],
            ['/api/csys', { which: 'origin', kind: 'custom', values: [1, 2, 3, 10, 20, 30] }],
            ['/api/csys', { which: 'target', kind: 'custom', values: [-4, 5, 6, -30, 45, 60] }],
            ['/api/wait', {}],
        ]) {
            const { status, body: answer } = await server.request('POST', route, body);
            if (status !== 200) throw new Error(`${route} answered ${status}: ${JSON.stringify(answer)}`);
        }
        const browser = await launch(t);
        const loadStart = Date.now();
        const { page } = await openPage(t, browser, server, identity ? { headers: { 'Accept-Encoding': 'identity' } } : {});
        const loadMs = Date.now() - loadStart;
        const samples = [];
        for (let i = 0; i < runs; ++i) {
            await settle(page, 600000);
            samples.push(await page.evaluate((value) => new Promise((resolve) => {
                window.addEventListener('viewer-applied', (e) => resolve(e.detail), { once: true });
                const field = document.getElementById('offset-tz');
                field.value = String(value);
                field.dispatchEvent(new Event('input', { bubbles: true }));
            }), 0.5 + i));
        }
        const row = {
            count, loadMs,
            roundTrip: median(samples.map((s) => s.receivedAt - s.sentAt)),
            applied: median(samples.map((s) => s.appliedAt - s.sentAt)),
            drawn: median(samples.map((s) => s.renderedAt - s.sentAt)),
            parse: median(samples.map((s) => s.parse)),
            apply: median(samples.map((s) => s.appliedAt - s.receivedAt)),
            run: samples.every((s) => s.serverRun !== undefined) ? median(samples.map((s) => s.serverRun)) : undefined,
            server: samples.every((s) => s.serverTotal !== undefined) ? median(samples.map((s) => s.serverTotal)) : undefined,
        };
        rows.push(row);
        console.log(`${count} nodes: page loaded in ${loadMs} ms; median of ${runs}: applied ${fmt(row.applied)} ms, drawn ${fmt(row.drawn)} ms`);
    } finally {
        await t.close();
    }
}

console.log('\nMedians in ms, each from the change on the page; beside them the parts of it');
console.log('\n| nodes | answer received | placements applied | drawn | library run | server total | JSON parse | page applies |');
console.log('|---:|---:|---:|---:|---:|---:|---:|---:|');
for (const r of rows)
    console.log(`| ${r.count} | ${fmt(r.roundTrip)} | ${fmt(r.applied)} | ${fmt(r.drawn)} | ${fmt(r.run)} | ${fmt(r.server)} | ${fmt(r.parse)} | ${fmt(r.apply)} |`);
const at10k = rows.find((r) => r.count === 10000);
if (at10k) console.log(`\nTarget: at most 33 ms from the change to the placements applied at 10,000 nodes: ${fmt(at10k.applied)} ms (${at10k.applied <= 33 ? 'met' : 'missed'})`);
