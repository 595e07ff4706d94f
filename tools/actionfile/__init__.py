"""The code behind tools/actiontool: walking, checking, listing and converting action files
through the qn4tGenericActionLoader module."""
