// The proxy's user name and password: "Сохранить" (and Enter) ends with
// {username, password}, the close icon (and Escape) with false.

var credentials_dialog = {
    record() {
        return {
            username: document.getElementById('Username').value,
            password: document.getElementById('Password').value,
        };
    },
};

document.addEventListener('DOMContentLoaded', () => {
    dialog.start({
        fill: () => {
            document.getElementById('DialogSave').addEventListener('click', () => dialog.finish(credentials_dialog.record()));
        },
        confirm: () => dialog.finish(credentials_dialog.record()),
        close: () => dialog.finish(false),
        focus: () => document.getElementById('Username'),
    });
});
