// Parses the PowerShell scripts of a folder with tree-sitter's PowerShell
// grammar and fails on any syntax error, so that a script broken here is
// seen before Windows runs it (Linux has no Windows PowerShell).
//   node parse_ps1.cjs <global node_modules> <folder>
const fs = require('fs');
const path = require('path');
const [modules, folder] = process.argv.slice(2);
const { Parser, Language } = require(path.join(modules, 'web-tree-sitter', 'tree-sitter.cjs'));

(async () => {
    await Parser.init();
    const parser = new Parser();
    parser.setLanguage(await Language.load(path.join(modules, 'tree-sitter-powershell', 'tree-sitter-powershell.wasm')));
    const scripts = fs.readdirSync(folder).filter(name => name.endsWith('.ps1'));
    let errors = 0;
    const walk = (file, node) => {
        if (node.type === 'ERROR' || node.isMissing) {
            errors++;
            console.log(`FAIL: ${file}:${node.startPosition.row + 1}: ${node.text.slice(0, 80)}`);
        }
        node.children.forEach(child => walk(file, child));
    };
    scripts.forEach(file => walk(file, parser.parse(fs.readFileSync(path.join(folder, file), 'utf8')).rootNode));
    console.log(errors || !scripts.length ? `FAIL: ${errors} errors in ${scripts.length} scripts` : `PASS: ${scripts.length} scripts parse`);
    process.exit(errors || !scripts.length ? 1 : 0);
})();
