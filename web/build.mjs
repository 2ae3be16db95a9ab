// node web/build.mjs BUILD_DIR: puts the compiled core (BUILD_DIR/nbz_core.js,
// made by scripts/web) and the page's sources together into
//   nbz.cjs        the module for node's require (its factory is the export),
//   nbz.mjs        the same as an ES module, for node and for pages,
//   audition.html  the page, one file: its scripts and styles inline, the
//                  module inside the worker's source (a page opened from
//                  disk may load neither module scripts nor worker files).

import { readFileSync, writeFileSync, renameSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const source = dirname(fileURLToPath(import.meta.url));
const build = process.argv[2];
if (!build) {
    console.log("Usage: node web/build.mjs BUILD_DIR");
    process.exit(2);
}

const read = (path) => readFileSync(path, "utf8");
const core = read(join(build, "nbz_core.js"));
const api = read(join(source, "nbz_api.js"));

// Writes through a temporary name, so that a failed build leaves no file
// that could pass for a whole one.
function write(name, text) {
    const path = join(build, name);
    writeFileSync(`${path}.partial`, text);
    renameSync(`${path}.partial`, path);
}

write("nbz.cjs", `${core}\n${api}\nmodule.exports = createNbz;\nmodule.exports.default = createNbz;\n`);
// The ES module loads in node and in a page. Under node the compiled core
// takes node's modules through require and its folder from __dirname, which
// an ES module lacks: they are made here, and stay undefined in a page.
const nodeGlobals = [
    'const nbzInNode = typeof process === "object" && typeof process.versions?.node === "string";',
    'const require = nbzInNode ? (await import("node:module")).createRequire(import.meta.url) : undefined;',
    'const __dirname = nbzInNode ? (await import("node:path")).dirname((await import("node:url")).fileURLToPath(import.meta.url)) : undefined;',
].join("\n");
write("nbz.mjs", `${nodeGlobals}\n${core}\n${api}\nexport default createNbz;\n`);

// Text inside a <script> element may not close it or open a comment.
function scriptText(text, name) {
    if (/<\/script|<!--/i.test(text)) throw new Error(`${name} holds text that would end its <script> element`);
    return text;
}

const workerSource = [core, api, read(join(source, "sonogram.js")), read(join(source, "worker.js"))].join("\n");
const generated = {
    "nbz_worker_source.js": `const NBZ_WORKER_SOURCE = ${JSON.stringify(workerSource)
        .replace(/<\//g, "<\\/")
        .replace(/<!--/g, "<\\!--")};\n`,
};

let page = read(join(source, "audition.html"));
page = page.replace(/<link rel="stylesheet" href="([\w.]+)">/g, (_, name) => `<style>\n${read(join(source, name))}</style>`);
const scripts = [];
page = page.replace(/<script src="([\w.]+)"><\/script>\n?/g, (_, name) => {
    scripts.push(scriptText(generated[name] ?? read(join(source, name)), name));
    return scripts.length === 1 ? "<!--scripts-->" : "";
});
page = page.replace("<!--scripts-->", () => `<script>\n${scripts.join("\n")}</script>\n`);
write("audition.html", page);
