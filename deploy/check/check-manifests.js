// Checks a kustomization directory of Kubernetes manifests the way the API server would take them:
//
//  - every document against the Kubernetes API schema of its apiVersion and kind, with the
//    validators of kubernetes-models (types, required fields, enumerations, formats);
//  - every field name against the same API types, since those validators let unknown fields
//    through and the API server refuses them (kubectl's default strict field validation): each
//    document is type-checked by the TypeScript compiler as an object literal of the model's
//    declared type, whose excess-property check names the first unknown field of each object;
//  - the kustomization itself: known fields, every listed file present, every manifest listed,
//    and every container image named by an `images` entry (a placeholder left unreplaced would
//    send the cluster after an image that does not exist).
//
// Usage: node check-manifests.js DIR...   Exit status 0 when every check passed, 1 otherwise, each
// problem on standard error as FILE: document N (KIND NAME): PATH: MESSAGE.
"use strict";

const fs = require("fs");
const path = require("path");
const YAML = require("yaml");
const ts = require("typescript");

const problems = [];
const problem = (where, message) => problems.push(`${where}: ${message}`);

// The fields of a Kustomization (kustomize.config.k8s.io/v1beta1) and of one `images` entry.
const kustomizationFields = new Set([
  "apiVersion", "kind", "metadata", "resources", "components", "crds", "bases", "namespace", "namePrefix",
  "nameSuffix", "labels", "commonLabels", "commonAnnotations", "images", "replicas", "patches",
  "patchesStrategicMerge", "patchesJson6902", "configMapGenerator", "secretGenerator", "generatorOptions",
  "generators", "transformers", "validators", "replacements", "vars", "configurations", "openapi",
  "buildMetadata", "sortOptions", "helmCharts", "helmGlobals",
]);
const imageFields = new Set(["name", "newName", "newTag", "digest", "tagSuffix"]);

// The kubernetes-models module and declared type of a document: core objects (apiVersion "v1")
// live under v1/, the others under GROUP/VERSION/.
function modelOf(doc) {
  if (typeof doc.apiVersion !== "string" || typeof doc.kind !== "string" || !/^[A-Za-z0-9]+$/.test(doc.kind))
    return null;
  const module = `kubernetes-models/${doc.apiVersion}/${doc.kind}`;
  try {
    return { module, type: `I${doc.kind}`, Model: require(module)[doc.kind] };
  } catch {
    return null;
  }
}

// The document as TypeScript source, and for each line the JSON path of what it holds, so that a
// compiler message points at the field in the manifest.
function literal(value, indent, at, lines, paths) {
  const pad = "  ".repeat(indent);
  if (Array.isArray(value) || (value && typeof value === "object")) {
    const entries = Array.isArray(value) ? value.map((v, i) => [i, v]) : Object.entries(value);
    const [open, close] = Array.isArray(value) ? ["[", "]"] : ["{", "}"];
    lines[lines.length - 1] += open;
    for (const [key, v] of entries) {
      const here = Array.isArray(value) ? `${at}[${key}]` : `${at}.${key}`;
      lines.push(pad + "  " + (Array.isArray(value) ? "" : JSON.stringify(key) + ": "));
      paths.push(here);
      literal(v, indent + 1, here, lines, paths);
      lines[lines.length - 1] += ",";
    }
    lines.push(pad + close);
    paths.push(at);
  } else {
    lines[lines.length - 1] += JSON.stringify(value);
  }
}

// Type-checks every document at once (one compiler run is seconds; one per document would be many).
function checkFieldNames(docs) {
  const lines = [];
  const paths = [];
  const owner = [];  // the document each line belongs to
  docs.forEach((d, i) => {
    lines.push(`import type { ${d.model.type} as T${i} } from ${JSON.stringify(d.model.module)};`);
    paths.push("");
    owner.push(d);
  });
  docs.forEach((d, i) => {
    const first = lines.length;
    lines.push(`export const doc${i}: T${i} = `);
    paths.push("");
    literal(d.doc, 0, "", lines, paths);
    lines[lines.length - 1] += ";";
    for (let l = first; l < lines.length; ++l) owner[l] = d;
  });
  const file = path.join(__dirname, "manifests.generated.ts");
  const source = lines.join("\n") + "\n";
  const options = {
    strict: true, noEmit: true, skipLibCheck: true, types: [], lib: ["lib.es5.d.ts"],
    module: ts.ModuleKind.CommonJS, moduleResolution: ts.ModuleResolutionKind.Node10, target: ts.ScriptTarget.ES5,
  };
  const host = ts.createCompilerHost(options);
  const getSourceFile = host.getSourceFile.bind(host);
  const fileExists = host.fileExists.bind(host);
  host.getSourceFile = (name, language, ...rest) =>
    name === file ? ts.createSourceFile(name, source, language) : getSourceFile(name, language, ...rest);
  host.fileExists = (name) => name === file || fileExists(name);
  const program = ts.createProgram([file], options, host);
  for (const d of ts.getPreEmitDiagnostics(program)) {
    const message = ts.flattenDiagnosticMessageText(d.messageText, " ");
    if (!d.file || d.file.fileName !== file) {
      problem("the API types", message);
      continue;
    }
    const line = d.file.getLineAndCharacterOfPosition(d.start).line;
    const doc = owner[line];
    problem(doc ? doc.where : "manifests", `${paths[line] || "(document)"}: ${message}`);
  }
}

function checkKustomization(dir) {
  const file = path.join(dir, "kustomization.yaml");
  if (!fs.existsSync(file)) {
    problem(dir, "no kustomization.yaml");
    return;
  }
  const k = YAML.parse(fs.readFileSync(file, "utf8"));
  if (k.apiVersion !== "kustomize.config.k8s.io/v1beta1" || k.kind !== "Kustomization")
    problem(file, "not a Kustomization of kustomize.config.k8s.io/v1beta1");
  for (const key of Object.keys(k)) if (!kustomizationFields.has(key)) problem(file, `unknown field "${key}"`);
  const resources = k.resources || [];
  const listed = new Set(resources.map((r) => path.normalize(r)));
  for (const f of fs.readdirSync(dir))
    if (/\.ya?ml$/.test(f) && f !== "kustomization.yaml" && !listed.has(f))
      problem(path.join(dir, f), "is not listed in kustomization.yaml's resources, so it would not be applied");

  const docs = [];
  for (const r of resources) {
    const where = path.join(dir, r);
    if (!fs.existsSync(where)) {
      problem(file, `resource ${r} does not exist`);
      continue;
    }
    YAML.parseAllDocuments(fs.readFileSync(where, "utf8")).forEach((parsed, n) => {
      for (const e of parsed.errors) problem(where, `document ${n + 1}: ${e.message}`);
      const doc = parsed.toJS();
      if (doc === null || doc === undefined) return;
      const model = modelOf(doc);
      const label = `${where}: document ${n + 1} (${doc.kind} ${doc.metadata && doc.metadata.name})`;
      if (!model) {
        problem(label, `apiVersion "${doc.apiVersion}" and kind "${doc.kind}" are not a Kubernetes API object`);
        return;
      }
      try {
        new model.Model(doc).validate();
      } catch (e) {
        problem(label, e.message.replace(/\s+/g, " "));
      }
      docs.push({ doc, model, where: label });
    });
  }

  // Container images: each named by an `images` entry, each entry naming one that is used.
  const images = new Map();
  for (const [i, entry] of (k.images || []).entries()) {
    for (const key of Object.keys(entry)) if (!imageFields.has(key)) problem(file, `images[${i}]: unknown field "${key}"`);
    if (!entry.newName && !entry.newTag && !entry.digest) problem(file, `images[${i}] replaces nothing`);
    images.set(entry.name, false);
  }
  for (const { doc, where } of docs) {
    const pod = doc.kind === "Pod" ? doc.spec : doc.spec && doc.spec.template && doc.spec.template.spec;
    if (!pod) continue;
    for (const c of [...(pod.initContainers || []), ...(pod.containers || [])]) {
      const name = String(c.image || "").replace(/[:@].*$/, "");
      if (images.has(name)) images.set(name, true);
      else problem(where, `container ${c.name}: image "${c.image}" is not named in kustomization.yaml's images`);
    }
  }
  for (const [name, used] of images) if (!used) problem(file, `images: no container uses "${name}"`);
  return docs;
}

const dirs = process.argv.slice(2);
if (dirs.length === 0) {
  console.error("usage: node check-manifests.js KUSTOMIZATION_DIR...");
  process.exit(2);
}
const all = [];
for (const dir of dirs) all.push(...(checkKustomization(dir) || []));
if (all.length > 0) checkFieldNames(all);
for (const p of problems) console.error(p);
console.log(`check-manifests: ${all.length} documents in ${dirs.join(", ")}: ${problems.length} problem${problems.length === 1 ? "" : "s"}`);
process.exit(problems.length === 0 ? 0 : 1);
