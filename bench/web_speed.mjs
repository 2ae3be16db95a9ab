// node bench/web_speed.mjs [BUILD_DIR [WEB_BUILD_DIR]]
//
// The WebAssembly module's search speed at width 64 beside the native plain
// kernel's (BUILD_DIR/bench/search_speed), on the same material in one run:
// the synthetic music, speech and noise of hq_bench (10 s each, written by
// make_pcm), each also at +6 dB. Both sides are timed by the processor time
// they use (the native side by its thread, the module by node's process),
// one material at a time, alternating between them for ROUNDS rounds (3);
// each material's best round counts. Prints each material's speeds and
// ratio, then the means.

import { execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { cpus, tmpdir } from "node:os";
import { join, resolve } from "node:path";

const build = resolve(process.argv[2] || "build");
const webBuild = resolve(process.argv[3] || "build-web");
const rounds = Number(process.env.ROUNDS || 3);
const width = 64;

const { default: createNbz } = await import(join(webBuild, "nbz.mjs"));
const nbz = await createNbz();

const work = mkdtempSync(join(tmpdir(), "nbz-speed-"));
try {
    const materials = [];
    for (const kind of ["music", "speech", "noise"]) {
        const path = join(work, `${kind}.raw`);
        execFileSync(join(build, "make_pcm"), [path, "10", "1", kind]);
        const bytes = readFileSync(path);
        const samples = new Int16Array(bytes.buffer, bytes.byteOffset, bytes.length / 2).slice();
        const louder = samples.map((s) => Math.max(-32768, Math.min(32767, 2 * s)));
        writeFileSync(`${path}.louder`, louder);
        materials.push({ name: `${kind}+6dB`, path: `${path}.louder`, samples: louder }, { name: kind, path, samples });
    }

    const native = (m) => {
        const out = execFileSync(join(build, "bench", "search_speed"), ["--kernel=plain", `--width=${width}`, m.path], {
            encoding: "utf8",
        });
        return Number(out.trim().split(" ").at(-1));
    };
    const module = (m) => {
        const start = process.cpuUsage();
        nbz.encodeHq(m.samples, width);
        const used = process.cpuUsage(start);
        return m.samples.length / ((used.user + used.system) / 1e6) / 1e6;
    };
    for (const m of materials) {
        m.native = 0;
        m.module = 0;
        for (let r = 0; r < rounds; ++r) {
            m.native = Math.max(m.native, native(m));
            m.module = Math.max(m.module, module(m));
        }
    }

    console.log(
        `Search at width ${width}: the module (WebAssembly in node ${process.version}) against the native plain ` +
            `kernel, on ${cpus()[0].model}; best of ${rounds} rounds, M samples/s of processor time.`,
    );
    console.log(`${"material".padEnd(12)} ${"native".padStart(7)} ${"module".padStart(7)} ${"ratio".padStart(6)}`);
    const row = (name, a, b) =>
        console.log(`${name.padEnd(12)} ${a.toFixed(3).padStart(7)} ${b.toFixed(3).padStart(7)} ${(b / a).toFixed(2).padStart(6)}`);
    for (const m of materials) row(m.name, m.native, m.module);
    const mean = (side) => materials.reduce((sum, m) => sum + m[side], 0) / materials.length;
    row("mean", mean("native"), mean("module"));
} finally {
    rmSync(work, { recursive: true, force: true });
}
