// xterm.js styles its terminals from script: it writes its colours, font and cell sizes into
// <style> elements it creates, and 24-bit colours into `style` attributes with setAttribute.
// The page's Content-Security-Policy (style-src 'self') blocks both, as it must block styles
// that injected markup would carry, so the terminals would lose their colours and cursor.
//
// Both routes are taken over here and carried through the CSSOM, which the policy does not
// govern and which only the page's own script can reach: a <style> element asked for from
// script is an inert <template> standing in for it, whose text goes into a constructed
// stylesheet adopted by the document (even an empty <style> in the document is refused and
// reported), and a `style` attribute set from script goes into the element's `style.cssText`.
// Markup the page did not build itself stays under the policy: no `'unsafe-inline'`.

let installed = false;

/// Routes script-made styles through the CSSOM from now on. Call before any terminal exists.
export function routeScriptStyles(doc = document) {
    if (installed) {
        return;
    }
    installed = true;
    const create = doc.createElement;
    doc.createElement = function createElement(name, options) {
        if (String(name).toLowerCase() !== 'style') {
            return create.call(this, name, options);
        }
        const standIn = create.call(this, 'template');
        standIn.dataset.scriptStyle = '';
        adoptText(doc, standIn);
        return standIn;
    };
    const setAttribute = Element.prototype.setAttribute;
    Element.prototype.setAttribute = function setStyleAware(name, value) {
        if (String(name).toLowerCase() === 'style' && this.style) {
            this.style.cssText = String(value);
            return;
        }
        setAttribute.call(this, name, value);
    };
}

/// Gives `element` a constructed stylesheet that holds whatever text is written into it, adopted
/// while the element has text and dropped when the element is removed.
function adoptText(doc, element) {
    const sheet = new doc.defaultView.CSSStyleSheet();
    let text = '';
    const adopt = (wanted) => {
        const others = doc.adoptedStyleSheets.filter((s) => s !== sheet);
        doc.adoptedStyleSheets = wanted ? [...others, sheet] : others;
    };
    Object.defineProperty(element, 'textContent', {
        configurable: true,
        get: () => text,
        set: (value) => {
            text = value == null ? '' : String(value);
            sheet.replaceSync(text);
            adopt(text !== '');
        },
    });
    const remove = element.remove;
    element.remove = function removeWithSheet() {
        adopt(false);
        remove.call(this);
    };
}
