// placeholder: filled in by its issue
