// node web/tests/expected.mjs BUILD_DIR > web/tests/expected.json
//
// Writes the tests' inputs to files, runs the native commands of BUILD_DIR
// on them, and prints what the module must give: SHA-256 of each output,
// and the search's report lines.

import { execFileSync } from "node:child_process";
import { createHash } from "node:crypto";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { PAGE, PREPARE, RAW_SAMPLES, pcm16, pageFile, prepareFile, readerCases } from "./fixtures.mjs";

const build = process.argv[2];
if (!build) {
    console.log("Usage: node web/tests/expected.mjs BUILD_DIR");
    process.exit(2);
}
const work = mkdtempSync(join(tmpdir(), "nbz-web-"));
const path = (name) => join(work, name);
const sha = (name) => createHash("sha256").update(readFileSync(path(name))).digest("hex");
const run = (command, ...args) => execFileSync(join(build, command), args.map(String), { encoding: "utf8" });

try {
    writeFileSync(path("in.raw"), pcm16(RAW_SAMPLES));
    run("nbz", path("in.raw"), path("exact.nbz"));
    run("nbzdec", path("exact.nbz"), path("exact.raw"));
    const encodeHq = {};
    let report = null;
    for (const width of [8, 64]) {
        const out = run("nbzhq", "-w", width, path("in.raw"), path("hq.nbz"));
        encodeHq[width] = sha("hq.nbz");
        if (width === 64) {
            const level = Number(/Maximum output level: (\d+)/.exec(out)[1]);
            const snr = /Signal-to-noise ratio: (\S+) dB/.exec(out)[1];
            report = { level, snr };
        }
    }
    writeFileSync(path("prepare.wav"), prepareFile());
    const { rateTo, width, gainDb } = PREPARE;
    run("nbzhq", "-r", rateTo, "-w", width, path("prepare.wav"), path("prepare.nbz"), gainDb);
    writeFileSync(path("page.wav"), pageFile());
    run("nbzhq", "-r", PAGE.rateTo, "-w", PAGE.width, path("page.wav"), path("page.nbz"));
    const reader = {};
    for (const [name, bytes] of readerCases()) {
        writeFileSync(path("case"), bytes);
        run("nbzhq", "-w", 4, path("case"), path("case.nbz"));
        reader[name] = sha("case.nbz");
    }
    const expected = {
        encode: sha("exact.nbz"),
        decode: sha("exact.raw"),
        encodeHq,
        report,
        prepare: sha("prepare.nbz"),
        reader,
        page: sha("page.nbz"),
    };
    console.log(JSON.stringify(expected, null, 2));
} finally {
    rmSync(work, { recursive: true, force: true });
}
