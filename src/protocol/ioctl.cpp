// Placeholder: built by its issue.
