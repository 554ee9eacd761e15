// Runs the glTF validator over the files named on the command line, with their
// buffers and images read from beside them. Prints each file's errors and exits
// with 1 when any file has one. Usage: node validate-gltf.js MODULE_DIR FILE...
'use strict';
const fs = require('fs');
const path = require('path');
const validator = require(path.resolve(process.argv[2]));

(async () => {
    let failed = false;
    for (const file of process.argv.slice(3)) {
        const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(file)), {
            uri: file,
            maxIssues: 50,
            externalResourceFunction: (uri) =>
                new Promise((resolve, reject) => {
                    fs.readFile(path.join(path.dirname(file), decodeURIComponent(uri)),
                                (error, data) => (error ? reject(error.toString())
                                                        : resolve(new Uint8Array(data))));
                }),
        });
        const errors = report.issues.messages.filter((m) => m.severity === 0);
        console.log(`${file}: ${report.issues.numErrors} errors, ${report.issues.numWarnings} warnings`);
        for (const m of errors) console.log(`  ${m.code} ${m.pointer || ''}: ${m.message}`);
        failed = failed || report.issues.numErrors > 0;
    }
    process.exit(failed ? 1 : 0);
})().catch((error) => {
    console.log(String(error));
    process.exit(2);
});
