// Loaded from res: (allowed); counts what the page's policy blocks.
window.violations = 0;
document.addEventListener('securitypolicyviolation', () => { window.violations += 1; }, true);
var csp = {
    pwned: function () { return window.pwned === undefined ? null : window.pwned; },
    violations: function () { return window.violations; },
    click: function (id) { document.getElementById(id).click(); return true; },
    // Follows a javascript: URL without the bridge's click guard in the way.
    navigate: function () { window.location.href = "javascript:window.pwned = 'navigation'"; return true; },
};
