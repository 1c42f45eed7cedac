// Placeholder so an empty source folder still forms a library.
