// The page in headless Chromium (Debian's, through puppeteer-core), opened
// from disk: it loads a WAV made here through the file input, encodes it,
// offers nbzhq's bytes for download, plays, and draws, with no console
// errors; its screenshot lands in the build folder. And nbz.mjs, served
// over HTTP, loads in a page as an ES module. NBZ_WEB_BUILD names the
// build folder (default build-web), CHROMIUM the browser.

import assert from "node:assert/strict";
import { createHash } from "node:crypto";
import { existsSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from "node:fs";
import { createServer } from "node:http";
import { tmpdir } from "node:os";
import { join, resolve } from "node:path";
import { after, before, test } from "node:test";
import { pathToFileURL } from "node:url";
import puppeteer from "puppeteer-core";
import { PAGE, RAW_SAMPLES, pageFile, pcm16 } from "./fixtures.mjs";

const here = new URL(".", import.meta.url).pathname;
const build = resolve(process.env.NBZ_WEB_BUILD || join(here, "../../build-web"));
const expected = JSON.parse(readFileSync(join(here, "expected.json"), "utf8"));
const work = mkdtempSync(join(tmpdir(), "nbz-page-"));
const downloads = join(work, "downloads");
const problems = [];  // console errors and uncaught exceptions, of the page and its worker
let browser;
let page;

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
async function until(what, check, seconds = 60) {
    for (const end = Date.now() + seconds * 1000; Date.now() < end; await sleep(100)) if (await check()) return;
    throw new Error(`timed out waiting for ${what}`);
}

before(async () => {
    browser = await puppeteer.launch({
        executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
        headless: true,
        userDataDir: join(work, "profile"),
        args: [
            ...(process.getuid && process.getuid() === 0 ? ["--no-sandbox"] : []),
            "--disable-gpu",
            "--disable-quic",
            "--no-first-run",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--use-fake-device-for-media-stream",
            "--autoplay-policy=no-user-gesture-required",
        ],
    });
    page = await browser.newPage();
    page.on("console", (m) => m.type() === "error" && problems.push(`console: ${m.text()}`));
    page.on("pageerror", (e) => problems.push(`page: ${e.message}`));
    page.on("workercreated", (w) => {
        w.on("console", (m) => m.type() === "error" && problems.push(`worker: ${m.text()}`));
        w.on("error", (e) => problems.push(`worker: ${e.message}`));
    });
    const cdp = await page.createCDPSession();
    await cdp.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
    await page.setViewport({ width: 1280, height: 900, deviceScaleFactor: 1 });
    await page.goto(pathToFileURL(join(build, "audition.html")).href);
});

after(async () => {
    if (browser) await browser.close();
    rmSync(work, { recursive: true, force: true });
});

test("the page encodes a WAV to nbzhq's bytes, plays the versions and draws the plots", async () => {
    const wav = join(work, "tone.wav");
    writeFileSync(wav, pageFile());
    await page.select("#rate", String(PAGE.rateTo));
    await (await page.$("#file")).uploadFile(wav);
    await until("the encodings", () => page.$eval("body", (b) => b.dataset.state === "encoded"));
    assert.match(await page.$eval("#file-info", (e) => e.textContent), /WAV, 44100 Hz, 2 channels, 24-bit PCM/);

    // The searched stream's download.
    await page.click('button[data-file="tone-hq.nbz"]');
    const saved = join(downloads, "tone-hq.nbz");
    await until("the download", () => existsSync(saved) && !readdirSync(downloads).some((f) => f.endsWith(".crdownload")));
    assert.equal(createHash("sha256").update(readFileSync(saved)).digest("hex"), expected.page);

    // Playback starts, and keeps going across a switch of version.
    await page.click("#play");
    await until("the audio context", () => page.$eval("#play", (b) => b.dataset.context === "running"), 10);
    const time = () => page.$eval("#time", (e) => parseFloat(e.textContent));
    const first = await time();
    await page.keyboard.press("3");
    await until("the playhead to move", async () => (await time()) > first, 10);
    assert.equal(await page.$eval('input[value="search"]', (r) => r.checked), true);
    await page.click("#play");

    // Every plot has more than one colour.
    for (const id of ["waveform", "spectrum-original", "spectrum-exact", "spectrum-search"]) {
        const colours = await page.$eval(`#${id}`, (canvas) => {
            const data = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
            const seen = new Set();
            for (let i = 0; i < data.length && seen.size < 16; i += 4 * 97) seen.add(data.slice(i, i + 4).join());
            return seen.size;
        });
        assert.ok(colours > 4, `${id} looks blank (${colours} colours)`);
    }
    await page.screenshot({ path: join(build, "audition.png"), fullPage: true });
    assert.deepEqual(problems, []);
});

test("nbz.mjs, imported by a page served over HTTP, gives the commands' streams", async () => {
    const server = createServer((request, response) => {
        const module = request.url === "/nbz.mjs";
        response.writeHead(module || request.url === "/" ? 200 : 404, {
            "Content-Type": module ? "text/javascript" : "text/html",
        });
        response.end(module ? readFileSync(join(build, "nbz.mjs")) : "<!doctype html><title>nbz.mjs</title>");
    });
    await new Promise((listening) => server.listen(0, "127.0.0.1", listening));
    const tab = await browser.newPage();
    try {
        await tab.goto(`http://127.0.0.1:${server.address().port}/`);
        const streams = await tab.evaluate(async (samples) => {
            const { default: createNbz } = await import("/nbz.mjs");
            const nbz = await createNbz();
            const pcm = Int16Array.from(samples);
            return [nbz.encode(pcm), nbz.encodeHq(pcm, 8)].map((stream) => Array.from(stream));
        }, Array.from(pcm16(RAW_SAMPLES)));
        const sha = (stream) => createHash("sha256").update(Uint8Array.from(stream)).digest("hex");
        assert.deepEqual(streams.map(sha), [expected.encode, expected.encodeHq[8]]);
    } finally {
        await tab.close();
        server.close();
    }
});
